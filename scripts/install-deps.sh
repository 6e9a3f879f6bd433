#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the daemon and the tests need.
# Quick when everything is already there: apt is only asked for what is missing.
#
#   install-deps.sh                  the native build and the test suite
#   install-deps.sh --cross ARCH     also builds for ARCH (arm64, armhf) with
#                                    Debian's cross toolchain and its libraries
#                                    (multiarch), and runs them under qemu-user
#   install-deps.sh --package        also builds and checks the .deb packages
#
# The options can be repeated and combined.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libasound2-dev          # the daemon's only run-time library
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libpng-dev zlib1g-dev   # test oracles for the icon decoder and its inflater, never linked into the daemon
    libsndfile1-dev         # audio files for the quorvel_host tool; the daemon never links it
    clang libclang-rt-14-dev clang-format
    iproute2 procps
    alsa-utils mpd          # players that the ALSA output plugin's tests play through
)

native=$(dpkg --print-architecture)
foreign=()
while (($#)); do
    case $1 in
    --cross)
        arch=${2:?--cross needs an architecture}
        shift
        if [[ $arch != "$native" ]]; then
            foreign+=("$arch")
            packages+=(
                "crossbuild-essential-$arch"
                qemu-user-static    # runs the cross-built tests; called explicitly, no binfmt_misc
                # The same libraries as above, for the target architecture.
                "pkgconf:$arch"      # the <triplet>-pkg-config that finds them
                "libasound2-dev:$arch" "libsndfile1-dev:$arch"
                "libgtest-dev:$arch" "libgmock-dev:$arch" "libpng-dev:$arch" "zlib1g-dev:$arch"
            )
        fi
        ;;
    --package)
        packages+=(debhelper lintian fakeroot dpkg-dev systemd)
        ;;
    *)
        echo "usage: install-deps.sh [--cross ARCH]... [--package]" >&2
        exit 2
        ;;
    esac
    shift
done

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "missing packages: ${missing[*]} (run this script as root to install them)" >&2
        exit 1
    fi
    # Libraries of another architecture come from the same mirrors once dpkg
    # knows the architecture.
    for arch in "${foreign[@]}"; do
        if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            dpkg --add-architecture "$arch"
        fi
    done
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # --no-remove: a library of another architecture must never replace the
    # native one; apt refuses instead of removing anything.
    apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}"
fi
