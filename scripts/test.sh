#!/usr/bin/env bash
# Builds and runs every test in two trees:
#  - the plain tree, where the stress tests run against the pooled allocator;
#  - the test tree (AddressSanitizer + UndefinedBehaviorSanitizer, engine
#    allocations routed to the system allocator), where every test runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
jobs=$(nproc)

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs" --timeout 600 -L stress --no-tests=ignore

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMV_SANITIZE=ON -DMV_SYSTEM_ALLOCATOR=ON \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
cmake --build build/test -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/test --output-on-failure -j "$jobs" --timeout 600
