#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the daemon and the tests need.
# Quick when everything is already there: apt is only asked for what is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libasound2-dev          # the daemon's only run-time library
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libpng-dev zlib1g-dev   # test oracles for the icon decoder and its inflater, never linked into the daemon
    libsndfile1-dev         # audio files for the quorvel_host tool; the daemon never links it
    clang libclang-rt-14-dev
    iproute2 procps
)

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
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
