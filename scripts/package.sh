#!/usr/bin/env bash
# Builds the Debian packages quorvel-app-target and quorvel-host for each
# architecture asked for, from this machine (Debian 12, amd64), and checks them:
#
#   package.sh [amd64|arm64|armhf|all]...      (default: the machine's own)
#
# The arm packages are cross-built with Debian's cross toolchain
# (dpkg-buildpackage -a). Every package is checked with lintian (an error
# fails the run) and listed with dpkg-deb -c. The amd64 packages are also
# installed, upgraded, reinstalled, removed and purged in a scratch root
# (tests/packaging/install-test.sh); for armhf, whose unit tests are not part
# of scripts/test.sh, the unit tests run under qemu-user
# (scripts/cross-test.sh armhf). QUORVEL_PACKAGE_TESTS=0 skips both.
#
# The .deb files end up in build/packages/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=$(dpkg --print-architecture)

archs=()
for arg in "${@:-$native}"; do
    case $arg in
    all) archs+=(amd64 arm64 armhf) ;;
    amd64 | arm64 | armhf) archs+=("$arg") ;;
    *)
        echo "usage: package.sh [amd64|arm64|armhf|all]..." >&2
        exit 2
        ;;
    esac
done

deps=(--package)
for arch in "${archs[@]}"; do
    deps+=(--cross "$arch")
done
"$root/scripts/install-deps.sh" "${deps[@]}"

version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
jobs=${QUORVEL_JOBS:-$(nproc)}
out="$root/build/packages"
mkdir -p "$out"

# Each architecture builds in a copy of the sources under build/package/ARCH:
# dpkg-buildpackage writes into debian/ and beside the source directory, and
# the work tree stays as it is. The copy holds what git knows of (committed
# or not), without build directories.
build_package() {
    local arch=$1
    local work="$root/build/package/$arch"
    local src="$work/quorvel-app-target-$version"
    rm -rf "$work"
    mkdir -p "$src"
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do
            [[ -e $file ]] && printf '%s\0' "$file"
        done | xargs -0 cp --parents -t "$src")

    local options=(-b -us -uc)
    local profiles=nocheck
    if [[ $arch != "$native" ]]; then
        options+=(-a "$arch")
        profiles+=,cross
    fi
    echo "=== $arch: dpkg-buildpackage ${options[*]} -P$profiles"
    (cd "$src" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=$jobs" \
        dpkg-buildpackage "${options[@]}" -P"$profiles" > "$work/build.log" 2>&1) || {
        tail -n 60 "$work/build.log"
        echo "dpkg-buildpackage failed for $arch (log $work/build.log)" >&2
        return 1
    }
    local deb
    for deb in "$work"/*_"$arch".deb; do
        cp "$deb" "$out/"
    done
}

check_package() {
    local deb=$1
    echo "=== $(basename "$deb")"
    dpkg-deb -f "$deb" Package Version Architecture Depends
    dpkg-deb -c "$deb" | awk '{print "  " $6 ($7 == "->" ? " -> " $8 : "")}'
    # Errors fail the run; the warnings that remain are explained in the README.
    lintian --fail-on error --tag-display-limit 0 "$deb"
}

for arch in "${archs[@]}"; do
    started=$SECONDS
    build_package "$arch"
    echo "=== $arch packages built in $((SECONDS - started)) s"
    for deb in "$out"/*_"$version"_"$arch".deb; do
        check_package "$deb"
    done
done

if [[ ${QUORVEL_PACKAGE_TESTS:-1} != 0 ]]; then
    for arch in "${archs[@]}"; do
        case $arch in
        "$native") bash "$root/tests/packaging/install-test.sh" "$out/quorvel-app-target_${version}_$arch.deb" ;;
        armhf) bash "$root/scripts/cross-test.sh" armhf ;;
        esac
    done
fi
echo "=== packages in $out:"
ls -1 "$out"
