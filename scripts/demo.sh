#!/bin/bash
# Builds the launcher and runs it. (The stand-in hosts arrive with the demo flavour.)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build
exec ./build/demo/Vorlia.app/vorlia
