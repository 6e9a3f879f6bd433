#!/usr/bin/env bash
# Builds the unit tests of foundation/, protocol/, alsa/ and app/ (and the
# fuzz corpus replays) for ARCH (arm64 or armhf) with Debian's cross
# toolchain, and runs them under qemu-user (CMAKE_CROSSCOMPILING_EMULATOR, see
# cmake/DebianCross.cmake). The end-to-end tests, which start the daemon and
# the Host tool as processes, run only natively (scripts/test.sh).
#
#   cross-test.sh ARCH
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=${1:?usage: cross-test.sh arm64|armhf}
[[ -f $root/cmake/$arch.cmake ]] || { echo "cross-test.sh: no toolchain for $arch" >&2; exit 2; }
"$root/scripts/install-deps.sh" --cross "$arch"

jobs=${QUORVEL_JOBS:-$(nproc)}
build="$root/build/$arch"
started=$SECONDS
echo "=== $arch build (cross, tests under qemu-user)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$arch.cmake" -DQUORVEL_WERROR=ON \
    -DQUORVEL_BUILD_BENCH=OFF -DQUORVEL_BUILD_HOST_TOOL=OFF > /dev/null
cmake --build "$build" -j "$jobs"
echo "=== $arch tests"
# Emulated threads run several times slower: the tests' own waits are upper
# bounds that return as soon as their condition holds, and CTest's timeout is
# raised to match.
(cd "$build" && ctest -j "$jobs" --output-on-failure --timeout 1200)
echo "=== $arch stage took $((SECONDS - started)) s"
