#!/usr/bin/env bash
# Builds the program's tree (without tests, which need more packages) and
# starts the study program on its bundled sample database.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMV_BUILD_TESTS=OFF >/dev/null
cmake --build build/run -j "${MV_JOBS:-$(nproc)}"
if [ -x build/run/app/marlisse ]; then
  exec build/run/app/marlisse "$@"
fi
echo "The engine libraries are built; the study program is not built yet."
