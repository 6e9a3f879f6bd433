#!/usr/bin/env bash
# Installs the quorvel-app-target package into a scratch root with dpkg
# (--root, maintainer scripts run without chroot with DPKG_ROOT set, as dpkg
# does for such roots) and checks what the package promises: the settings file
# is seeded on the first installation, survives a reinstall, an upgrade and a
# removal, and is gone after a purge; the service is enabled on installation
# and no longer after purge. Then checks the installed unit with
# systemd-analyze (verify, and the security exposure score against a limit),
# or says that it skips that part when systemd-analyze is missing.
#
#   install-test.sh PATH/quorvel-app-target_VERSION_ARCH.deb
#
# Needs root (dpkg writes the files with their owners). Nothing outside the
# scratch root is touched: the maintainer scripts' calls of systemctl and
# deb-systemd-invoke (which debhelper's snippets make whenever systemd runs
# the machine, DPKG_ROOT or not) reach stand-ins that only record them.
set -euo pipefail
deb=$(realpath "${1:?usage: install-test.sh quorvel-app-target_VERSION_ARCH.deb}")
# The hardened unit scores 2.4 today (the unit before hardening: 9.6); more
# than this means hardening was lost.
max_exposure=${QUORVEL_MAX_EXPOSURE:-3.5}

scratch=$(mktemp -d /tmp/quorvel-install-test-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
target="$scratch/root"
mkdir -p "$target/var/lib/dpkg/info" "$target/var/lib/dpkg/updates" "$target/var/lib/dpkg/triggers"
touch "$target/var/lib/dpkg/status"

failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

mkdir "$scratch/bin"
for tool in systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >> "%s/service-calls"\n' "$tool" "$scratch" > "$scratch/bin/$tool"
    chmod +x "$scratch/bin/$tool"
done
touch "$scratch/service-calls"

# The scratch root has no libasound2 or C library installed in dpkg's sense.
in_root() {
    PATH="$scratch/bin:$PATH" dpkg --root="$target" --force-script-chrootless --force-depends --log=/dev/null \
        "$@" > "$scratch/dpkg.log" 2>&1 ||
        { cat "$scratch/dpkg.log"; echo "FAILED: dpkg $*"; exit 1; }
}

dir="$target/usr/libexec/quorvel_app_target"
settings="$dir/quorvel_app_target_setting.inf"
wants="$target/etc/systemd/system/multi-user.target.wants/quorvel_app_target.service"
user_settings=$'[global]\r\nTrgetName=Living room\r\nAlsaLatency=40\r\n'

# The same package with a higher version, for the upgrade.
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -R "$deb" "$scratch/next"
sed -i "s/^Version: .*/Version: $version+1/" "$scratch/next/DEBIAN/control"
dpkg-deb --build --root-owner-group "$scratch/next" "$scratch/next.deb" > /dev/null

echo "=== first installation"
in_root -i "$deb"
check "the program is installed" test -x "$dir/quorvel_app_target"
check "the link in /usr/bin leads to it" test "$(readlink -f "$target/usr/bin/quorvel_app_target")" = "$(readlink -f "$dir/quorvel_app_target")"
check "the settings file is seeded from the example" cmp -s "$settings" "$dir/quorvel_app_target_setting.inf.example"
check "the settings file is not a file of the package" bash -c "! dpkg --root='$target' -S /usr/libexec/quorvel_app_target/quorvel_app_target_setting.inf > /dev/null 2>&1"
check "the service is enabled" test -L "$wants"
# debhelper's snippets start the service only when systemd runs this machine.
if [[ -d /run/systemd/system ]]; then
    check "the service is started" grep -q "deb-systemd-invoke start quorvel_app_target.service" "$scratch/service-calls"
else
    echo "not checked: the start of the service (systemd does not run this machine)"
fi

# What a user or a Host's save leaves behind.
printf '%s' "$user_settings" > "$scratch/user-settings"
cp "$scratch/user-settings" "$settings"
keeps_user_settings() { cmp -s "$settings" "$scratch/user-settings"; }

echo "=== reinstall"
in_root -i "$deb"
check "a reinstall keeps the user's settings" keeps_user_settings

echo "=== upgrade to $version+1"
in_root -i "$scratch/next.deb"
check "the upgrade is installed" test "$(dpkg-query --root="$target" -W -f='${Version}' quorvel-app-target)" = "$version+1"
check "an upgrade keeps the user's settings" keeps_user_settings

echo "=== removal"
in_root -r quorvel-app-target
check "the program is removed" test ! -e "$dir/quorvel_app_target"
check "a removal keeps the user's settings" keeps_user_settings

echo "=== installation after a removal"
in_root -i "$deb"
check "a new installation keeps the user's settings" keeps_user_settings

echo "=== purge"
touch "$dir/quorvel_app_target_setting.inf.Ab12Cd" # an interrupted save's temporary file
in_root -P quorvel-app-target
check "purge removes the settings file" test ! -e "$settings"
check "purge removes an interrupted save's file" test ! -e "$dir/quorvel_app_target_setting.inf.Ab12Cd"
check "purge removes the program's directory" test ! -e "$dir"
check "the service is no longer enabled" test ! -L "$wants"

echo "=== installation after a purge"
in_root -i "$deb"
check "the settings file is seeded again" cmp -s "$settings" "$dir/quorvel_app_target_setting.inf.example"

echo "=== the service unit"
unit="$target/lib/systemd/system/quorvel_app_target.service"
check "the unit is installed" test -f "$unit"
if command -v systemd-analyze > /dev/null; then
    # verify looks for the program and the man page on this machine: the
    # unit's copy names the program in the scratch root, and the man page is
    # checked by lintian.
    sed "s|^ExecStart=|ExecStart=$target|" "$unit" > "$scratch/quorvel_app_target.service"
    check "systemd-analyze verify" systemd-analyze verify --man=no "$scratch/quorvel_app_target.service"
    exposure=$(systemd-analyze security --offline=true --root="$target" quorvel_app_target.service 2>&1 |
        sed -n 's/.*Overall exposure level for quorvel_app_target.service: \([0-9.]*\).*/\1/p')
    echo "security exposure: ${exposure:-unknown} (limit $max_exposure)"
    check "the exposure score is at most $max_exposure" awk -v score="${exposure:-99}" -v limit="$max_exposure" \
        'BEGIN { exit !(score <= limit) }'
else
    echo "SKIPPED: systemd-analyze is not installed, the unit was not verified"
fi

echo "$failures failed"
exit $((failures > 0))
