#!/bin/sh
# Installs the build into a temporary root as a package would (prefix /usr)
# and checks the tree: the programs, the settings under /etc/vardo, the
# shared files, the units (verified by systemd where it can), and that the
# program the service unit starts links no Qt.
#   install_tree_test.sh BUILD_DIR HAS_WINDOW(0/1)
set -eu
build=$1
has_window=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
check() {
    for path in "$@"; do
        [ -e "$root$path" ] || fail "missing $path"
    done
}

check /usr/bin/vardo-event-serverd \
    /etc/vardo/Config.ini \
    /usr/share/vardo/Config.ini.example \
    /usr/share/vardo/Language/en_US.ini /usr/share/vardo/Language/zh_CN.ini \
    /usr/share/vardo/image \
    /usr/share/vardo/schema/sqlite.sql /usr/share/vardo/schema/postgresql.sql \
    /usr/share/vardo/schema/sqlserver.sql \
    /usr/share/doc/vardo/README.md /usr/share/doc/vardo/operations.md \
    /usr/lib/systemd/system/vardo-event-server.service \
    /usr/lib/sysusers.d/vardo.conf /usr/lib/tmpfiles.d/vardo.conf
if [ "$has_window" = 1 ]; then
    check /usr/bin/vardo-event-server \
        /usr/share/applications/vardo-event-server.desktop \
        /usr/share/icons/hicolor/scalable/apps/vardo-event-server.svg
fi
# Nothing of the build's own folders, tests or simulators.
for unwanted in "$root"/usr/bin/*test* "$root"/usr/bin/vardo-center-sim; do
    [ ! -e "$unwanted" ] || fail "installed $unwanted"
done

# The settings hold passwords: not for every user.
perm=$(stat -c %a "$root/etc/vardo/Config.ini")
[ "$perm" = 640 ] || fail "/etc/vardo/Config.ini has mode $perm, not 640"

unit=$root/usr/lib/systemd/system/vardo-event-server.service
grep -q '^ExecStart=/usr/bin/vardo-event-serverd --wait-for-database --home /var/lib/vardo$' "$unit" ||
    fail "ExecStart of the unit"
for line in Type=notify User=vardo Restart=on-failure StateDirectory=vardo NoNewPrivileges=yes \
    ProtectSystem=strict ProtectHome=yes PrivateTmp=yes ReadWritePaths=/var/lib/vardo \
    WatchdogSec= StartLimitIntervalSec=0 WantedBy=multi-user.target RestartPreventExitStatus=78; do
    grep -q "^$line" "$unit" || fail "the unit lacks $line"
done
# Wrong settings (status 78) are not restarted, by either unit; the center's
# names the page about terminals first.
center_unit=$build/packaging/vardo-center.service
if [ -e "$center_unit" ]; then
    grep -q '^RestartPreventExitStatus=78$' "$center_unit" || fail "the center's unit restarts status 78"
    grep -q '^Documentation=file:/usr/share/doc/vardo/jt808.md' "$center_unit" ||
        fail "the center's unit does not point at jt808.md"
fi
grep -q 'L /var/lib/vardo/Config.ini - - - - /etc/vardo/Config.ini' \
    "$root/usr/lib/tmpfiles.d/vardo.conf" || fail "tmpfiles link to the settings"

# The service must install on a server without Qt: nothing of Qt, directly
# or through another library. (Debian's FFmpeg, which writes the recordings,
# brings the X11 client libraries along; no display or X server is needed.)
if ldd "$root/usr/bin/vardo-event-serverd" | grep -qi 'libQt'; then
    fail "vardo-event-serverd links Qt"
fi
if readelf -d "$root/usr/bin/vardo-event-serverd" | grep NEEDED | grep -qi 'X11\|xcb\|GL'; then
    fail "vardo-event-serverd links a window system itself"
fi

# The center: its settings (a conffile, read by the unit with --config) are
# good settings, and its postinst makes the event servers' login once.
if [ -e "$root/usr/bin/vardo-center" ]; then
    check /etc/vardo/center.conf /usr/lib/systemd/system/vardo-center.service
    grep -q '^ExecStart=/usr/bin/vardo-center --config /etc/vardo/center.conf$' \
        "$root/usr/lib/systemd/system/vardo-center.service" || fail "ExecStart of the center's unit"
    grep -q '^RestartPreventExitStatus=78$' "$root/usr/lib/systemd/system/vardo-center.service" ||
        fail "the center's unit restarts a broken configuration"
    grep -q '^/etc/vardo/center.conf$' "$build/packaging/center/conffiles" ||
        fail "center.conf is no conffile"
    mkdir -p "$root/etc/vardo"
    if command -v systemd-sysusers >/dev/null 2>&1; then
        DPKG_ROOT=$root sh "$build/packaging/center/postinst" configure >/dev/null ||
            fail "the center's postinst"
        users=$root/etc/vardo/center-users
        grep -Eq '^root [A-Za-z0-9]{20,}$' "$users" || fail "no generated login in $users"
        perm=$(stat -c %a "$users")
        [ "$perm" = 640 ] || fail "$users has mode $perm, not 640"
        first=$(cat "$users")
        DPKG_ROOT=$root sh "$build/packaging/center/postinst" configure >/dev/null
        [ "$(cat "$users")" = "$first" ] || fail "a second configure replaced the login"
        sed "s|/etc/vardo/|$root/etc/vardo/|; s|^data = .*|data = $root/center-data|" \
            "$root/etc/vardo/center.conf" >"$root/center.conf"
        out=$("$root/usr/bin/vardo-center" --config "$root/center.conf" --version 2>&1) ||
            fail "the installed center.conf: $out"
        DPKG_ROOT=$root sh "$build/packaging/center/postrm" purge 2>/dev/null
        [ ! -e "$users" ] || fail "a purge left $users"
    fi
fi

if command -v systemd-analyze >/dev/null 2>&1; then
    # Verified as installed, but with ExecStart in the temporary root (the
    # check wants the program to exist). Any remark counts as a failure:
    # systemd only warns about a line it ignores.
    mkdir "$root/verify"
    for u in "$root"/usr/lib/systemd/system/*.service; do
        copy=$root/verify/$(basename "$u")
        sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$u" >"$copy"
        out=$(systemd-analyze verify "$copy" 2>&1) || fail "systemd-analyze verify $u: $out"
        [ -z "$out" ] || fail "systemd-analyze verify $u: $out"
    done
    # The center's unit, installed only once vardo-center is built, is
    # checked all the same (with a program that exists).
    center=$build/packaging/vardo-center.service
    if [ ! -e "$root/usr/lib/systemd/system/vardo-center.service" ] && [ -e "$center" ]; then
        sed "s|^ExecStart=[^ ]*|ExecStart=/bin/true|" "$center" >"$root/verify/vardo-center.service"
        out=$(systemd-analyze verify "$root/verify/vardo-center.service" 2>&1) || fail "$out"
        [ -z "$out" ] || fail "systemd-analyze verify vardo-center.service: $out"
    fi
else
    echo "systemd-analyze not available: units not verified"
fi
echo "install tree OK"
