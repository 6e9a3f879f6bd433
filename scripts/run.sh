#!/usr/bin/env bash
# Installs what is missing, builds the daemon in Release and runs it in the foreground.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"

build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_BENCH=OFF > /dev/null
cmake --build "$build" --target quorvel_app_target
exec "$build/quorvel_app_target"
