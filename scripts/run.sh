#!/usr/bin/env bash
# Builds the release tree and starts the study program on its bundled sample database.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)"
if [ -x build/release/app/marlisse ]; then
  exec build/release/app/marlisse "$@"
fi
echo "The engine libraries are built; the study program is not built yet."
