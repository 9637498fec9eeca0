#!/usr/bin/env bash
# The packages as an operator gets them: built by CPack from the build folder, the .deb unpacked with
# dpkg-deb -x into a scratch root and checked there (files, stripped binaries, the menu entry, AppStream
# data, lintian, the service unit), then the launcher used from that root: its folder rules, the collector
# against the simulated terminal, and Gathra's first run on an X server of the test's own (Xvfb) with a
# scratch HOME.
#
# Usage: package_test.sh BUILD_DIR
# In CI (CI=true) a missing tool is a failure; elsewhere the test says why and skips (exit 77).
set -uo pipefail

build=$(cd "$1" && pwd)
# shellcheck source=../../scripts/gathra-ini.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gathra-ini.sh"
bin=${GATHRA_BIN_DIR:-$build/bin}
scratch=$(mktemp -d /tmp/gathra-package-XXXXXX)
pids=()
failures=0

cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@" >"$scratch/check.log" 2>&1; then
        echo "ok: $what"
    else
        fail "$what"
        cat "$scratch/check.log" >&2
    fi
}
# A simulator gone to the background (its "background: <pid>" line in file $1) ends after its upload;
# one that does not within 30 s is stopped, by its id, while that id is surely still its own.
end_background() {
    local pid
    pid=$(sed -n 's/^background: //p' "$1")
    [ -n "$pid" ] || return 0
    wait_for 30 test ! -e "/proc/$pid" || kill -TERM "$pid"
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local limit=$1 started=$SECONDS
    shift
    until "$@" 2>/dev/null; do
        ((SECONDS - started < limit)) || return 1
        sleep 0.1
    done
}

# Each tool with the Debian package that brings it.
for tool_package in cpack:cmake dpkg-deb:dpkg lintian:lintian desktop-file-validate:desktop-file-utils \
    appstreamcli:appstream Xvfb:xvfb xdotool:xdotool file:file cmp:diffutils \
    systemd-analyze:systemd xdg-user-dir:xdg-user-dirs; do
    tool=${tool_package%%:*}
    if ! command -v "$tool" >/dev/null; then
        missing="$tool is not installed: add the Debian package ${tool_package#*:} to scripts/install-deps.sh"
        if [ "${CI:-}" = true ]; then
            echo "FAIL: $missing" >&2
            exit 1
        fi
        echo "SKIP: $missing"
        exit 77
    fi
done

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$version" ] || { echo "FAIL: no package version in $build/CPackConfig.cmake" >&2; exit 1; }

# --- Build both packages ----------------------------------------------------------------------------
if ! (cd "$build" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out") >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack" >&2
    exit 1
fi
deb=$scratch/out/gathra_${version}_amd64.deb
tgz=$scratch/out/gathra-${version}-Linux-x86_64.tar.gz
check "the .deb is named gathra_${version}_amd64.deb" test -f "$deb"
check "the archive is named gathra-${version}-Linux-x86_64.tar.gz" test -f "$tgz"

# The archive: one top folder holding the program folder, the README and packaging/.
top=gathra-${version}-Linux-x86_64
tar -tzf "$tgz" | sed 's,/$,,' | sort >"$scratch/tgz.list"
for entry in Gathra gathra-collect libquorlin.so gathra-termsim README.md packaging/gathra \
    packaging/gathra-collect@.service packaging/org.gathra.Gathra.desktop; do
    check "archive holds $top/$entry" grep -qx "$top/$entry" "$scratch/tgz.list"
done
check "archive has one top folder" test "$(cut -d/ -f1 "$scratch/tgz.list" | sort -u)" = "$top"

# --- The .deb's files ----------------------------------------------------------------------------------
root=$scratch/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x" >&2; exit 1; }
for file in usr/bin/gathra usr/lib/gathra/Gathra usr/lib/gathra/gathra-collect usr/lib/gathra/gathra-termsim; do
    check "$file is an executable file" test -f "$root/$file" -a -x "$root/$file"
done
for file in usr/lib/gathra/libquorlin.so usr/share/applications/org.gathra.Gathra.desktop \
    usr/share/metainfo/org.gathra.Gathra.metainfo.xml usr/share/icons/hicolor/scalable/apps/gathra.svg \
    lib/systemd/system/gathra-collect@.service usr/share/doc/gathra/copyright usr/share/doc/gathra/changelog.gz \
    usr/share/man/man1/gathra.1.gz usr/share/man/man1/gathra-termsim.1.gz usr/lib/sysusers.d/gathra.conf; do
    check "$file is a file, not executable" test -f "$root/$file" -a ! -x "$root/$file"
done
for size in 16 32 48 64 128 256; do
    check "PNG icon ${size}x${size}" sh -c "file '$root/usr/share/icons/hicolor/${size}x${size}/apps/gathra.png' | grep -q 'PNG image data, $size x $size'"
done
check "an example udev rule under /usr/share/gathra" sh -c "ls '$root'/usr/share/gathra/*.rules"
check "nothing installed under /etc or /opt" test ! -e "$root/etc" -a ! -e "$root/opt"
check "no unit left under /usr/share/gathra" test ! -e "$root/usr/share/gathra/gathra-collect@.service"
for file in Gathra gathra-collect gathra-termsim libquorlin.so; do
    check "$file is stripped" sh -c "file -L '$root/usr/lib/gathra/$file' | grep -q ', stripped'"
done
check "dependencies computed (libc6 among them)" sh -c "dpkg-deb -f '$deb' Depends | grep -q libc6"
check "depends on xdg-utils (xdg-open opens the stored file)" sh -c "dpkg-deb -f '$deb' Depends | grep -q xdg-utils"
check "depends on Qt's Japanese texts and a Japanese font" sh -c \
    "dpkg-deb -f '$deb' Depends | grep -qF 'qt6-translations-l10n, fonts-noto-cjk | fonts-ipafont-gothic'"
check "gathra-termsim is on PATH" test "$(readlink "$root/usr/bin/gathra-termsim")" = ../lib/gathra/gathra-termsim
check "Gathra --version needs no screen" sh -c "env -u DISPLAY -u QT_QPA_PLATFORM '$root/usr/lib/gathra/Gathra' --version | grep -qx 'Gathra $version'"
check "desktop-file-validate" desktop-file-validate "$root/usr/share/applications/org.gathra.Gathra.desktop"
check "appstreamcli validate --no-net" appstreamcli validate --no-net "$root/usr/share/metainfo/org.gathra.Gathra.metainfo.xml"
check "the metadata names release $version" grep -q "<release version=\"$version\"" \
    "$root/usr/share/metainfo/org.gathra.Gathra.metainfo.xml"
check "the changelog's latest entry is $version" sh -c "zcat '$root/usr/share/doc/gathra/changelog.gz' | head -n 1 | grep -q '^gathra ($version)'"
lintian --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1
check "lintian reports no errors and no warnings" sh -c "! grep -q '^[EW]:' '$scratch/lintian.log'"
cat "$scratch/lintian.log"

# The service unit: systemd reads it without a complaint and rates its exposure at 2.0 or less. systemd
# refuses an ExecStart that does not exist, so the copy checked runs the collector of the scratch root.
unit=$root/lib/systemd/system/gathra-collect@.service
sed "s|/usr/lib/gathra/|$root/usr/lib/gathra/|g" "$unit" >"$scratch/gathra-collect@cradle1.service"
systemd-analyze verify "$scratch/gathra-collect@cradle1.service" >"$scratch/verify.log" 2>&1
check "systemd-analyze verify has nothing to say" test ! -s "$scratch/verify.log"
cat "$scratch/verify.log"
systemd-analyze security --offline=true "$scratch/gathra-collect@cradle1.service" >"$scratch/security.log" 2>&1
exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p' "$scratch/security.log")
echo "systemd-analyze security: exposure ${exposure:-unknown}"
check "the unit's exposure is at most 2.0" awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }'
for line in 'ExecStart=/usr/lib/gathra/gathra-collect --folder /var/lib/gathra/%i' 'StateDirectory=gathra/%i' \
    'User=gathra' 'Group=gathra' 'StateDirectoryMode=0750' 'SupplementaryGroups=dialout' 'Wants=network-online.target' 'After=network-online.target remote-fs.target' \
    'Restart=on-failure' 'RestartPreventExitStatus=2 64' 'RestartSec=30s' 'StartLimitIntervalSec=0' \
    'StandardOutput=journal'; do
    check "unit: $line" grep -qxF "$line" "$unit"
done

# The README's drop-ins, each read by systemd beside the unit.
readme=$root/usr/share/doc/gathra/README.md
block() { awk -v m="$1" '$0 == "```" m { f = 1; next } /^```$/ { f = 0 } f' "$readme"; }
for dropin in dropin-share dropin-rehearsal; do
    mkdir -p "$scratch/gathra-collect@cradle1.service.d"
    block "ini $dropin" >"$scratch/gathra-collect@cradle1.service.d/$dropin.conf"
    systemd-analyze verify "$scratch/gathra-collect@cradle1.service" >"$scratch/verify.log" 2>&1
    check "the README's $dropin passes systemd-analyze verify" test -s "$scratch/gathra-collect@cradle1.service.d/$dropin.conf" -a ! -s "$scratch/verify.log"
    cat "$scratch/verify.log"
    rm -r "$scratch/gathra-collect@cradle1.service.d"
done

# The postinst, in the package's root: the service's user (never this machine's), and an instance of the
# earlier dynamic-user unit moved back from /var/lib/private.
mkdir -p "$root/var/lib/private/gathra/old1" "$root/var/lib/gathra"
echo old >"$root/var/lib/private/gathra/old1/Gathra.ini"
ln -s ../private/gathra/old1 "$root/var/lib/gathra/old1"
dpkg-deb -e "$deb" "$scratch/control"
mkdir -p "$root/etc"
check "the postinst ends with 0" env DPKG_ROOT="$root" "$scratch/control/postinst" configure 4.0.0
check "the postinst makes the user gathra" grep -q '^gathra:' "$root/etc/passwd"
check "an earlier instance is moved back" test ! -L "$root/var/lib/gathra/old1" -a "$(cat "$root/var/lib/gathra/old1/Gathra.ini")" = old -a ! -e "$root/var/lib/private/gathra"

gathra=$root/usr/bin/gathra
lib=$root/usr/lib/gathra
chmod 755 "$scratch"  # for the users below

# --- The launcher's command line and its folders ------------------------------------------------------
"$gathra" --bogus >/dev/null 2>"$scratch/usage.err"
check "a bad option ends with 64" test $? -eq 64
check "a bad option is named" grep -q -- "--bogus" "$scratch/usage.err"
check "--help" sh -c "'$gathra' --help | grep -q -- '--collect'"
check "--version" sh -c "'$gathra' --version | grep -qx 'gathra $version'"
mkdir -p "$scratch/nolib/usr/bin"
cp "$gathra" "$scratch/nolib/usr/bin/"
"$scratch/nolib/usr/bin/gathra" --collect --folder "$scratch/nolib/f" --once >/dev/null 2>&1
check "no program files beside the launcher ends with 2" test $? -eq 2

# A folder others may write is refused, naming it.
open_folder=$scratch/open
mkdir -p "$open_folder"
chmod 0775 "$open_folder"
"$gathra" --collect --folder "$open_folder" --check >/dev/null 2>"$scratch/open.err"
check "a group-writable folder is refused with 2" test $? -eq 2
check "the refusal names the folder" grep -qF "$open_folder" "$scratch/open.err"

# A folder the old launcher prepared: its identical copies go, a differing one stays, the group write
# permission it left goes, the settings stay.
old=$scratch/old
mkdir -p "$old/ports"
cp "$lib/gathra-collect" "$lib/libquorlin.so" "$old/"
printf 'x' >"$old/Gathra"
printf '[Gathra]\n' >"$old/Gathra.ini"
chmod 0775 "$old"
"$gathra" --collect --folder "$old" --version >/dev/null
check "identical old copies are removed" test ! -e "$old/gathra-collect" -a ! -e "$old/libquorlin.so"
check "a differing old copy stays" test -f "$old/Gathra"
check "the old folder loses the group write permission" test "$(stat -c %a "$old")" = 755
check "the old settings stay" test "$(cat "$old/Gathra.ini")" = "[Gathra]"

# The owner is checked before an earlier launcher's copies are removed: not in a folder of someone else's.
uid=64000
while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
install -d -o "$uid" -g "$uid" -m 0777 "$scratch/theirs"
cp "$lib/gathra-collect" "$scratch/theirs/"
setpriv --reuid=65534 --regid=65534 --clear-groups "$gathra" --collect --folder "$scratch/theirs" --version >/dev/null 2>&1
check "a folder of someone else's is refused with 2, untouched" test $? -eq 2 -a -f "$scratch/theirs/gathra-collect"
"$gathra" --collect --folder "$scratch/new/inst" --init >/dev/null
check "gathra --collect --init makes the folder with the collector's settings" \
    grep -qx "SaveFolder=$scratch/new/inst/out" "$scratch/new/inst/Gathra.ini"

# --init and --check of an instance folder.
instance=$scratch/instance
mkdir -m 0700 "$instance"
"$lib/gathra-collect" --folder "$instance" --init >"$scratch/init.out" 2>&1
check "--init ends with 0" test $? -eq 0
check "--init writes AutoStart=1" grep -qx 'AutoStart=1' "$instance/Gathra.ini"
check "--init writes the save folder out/" grep -qx "SaveFolder=$instance/out" "$instance/Gathra.ini"
check "--init makes out/ and ports/" test -d "$instance/out" -a -d "$instance/ports"
ln -s /nonexistent/ttyUSB0 "$instance/ports/COM1"
"$lib/gathra-collect" --folder "$instance" --check >"$scratch/check.out" 2>&1
check "--check without the device ends with 3" test $? -eq 3
check "--check reports the port" grep -q "^port COM1 ($instance/ports/COM1) : NG" "$scratch/check.out"
echo "--- gathra-collect --check"
cat "$scratch/check.out"

# --- The collector through the launcher, against the simulated terminal ------------------------------
cradle=$scratch/cradle
mkdir -p "$cradle/out"
chmod 0700 "$cradle"
write_gathra_ini "$cradle/Gathra.ini" "$cradle/out" TimeAdjust=0
printf 'A001,10\nA002,20\n' >"$scratch/records.txt"
"$bin/gathra-termsim" --folder "$cradle" --port 1 --records "$scratch/records.txt" --id PKG01 \
    --time-limit 60 >"$scratch/termsim.log" 2>&1 &
pids+=($!)
if wait_for 20 grep -q '^ready:' "$scratch/termsim.log"; then
    timeout 60 "$gathra" --collect --folder "$cradle" --once >"$scratch/collect.out" 2>"$scratch/collect.err"
    status=$?
    check "gathra --collect --once ends with 0" test "$status" -eq 0
    check "the upload is stored in the save folder" test "$(cat "$cradle/out/PKG01.txt" 2>/dev/null)" = "$(printf 'A001,10\r\nA002,20\r')"
    check "no program file in the folder" test ! -e "$cradle/gathra-collect" -a ! -e "$cradle/libquorlin.so"
    check "the status ends with the normal end" grep -q '正常終了' "$scratch/collect.out"
    echo "--- collector status lines"
    cat "$scratch/collect.out" "$scratch/collect.err"
else
    fail "gathra-termsim did not get ready"
    cat "$scratch/termsim.log" >&2
fi

# --- The README's first steps, as written, from the package -------------------------------------------
block "sh try-it" >"$scratch/try-it.sh"
mkdir -p "$scratch/try-home"
HOME=$scratch/try-home PATH=$root/usr/bin:$PATH timeout 120 bash -e "$scratch/try-it.sh" >"$scratch/try-it.out" 2>&1
check "the README's first steps end with 0" test $? -eq 0
end_background "$scratch/try-it.out"
check "they show both records" grep -q '^A002,20' "$scratch/try-it.out"
check "--init wrote MailTls=1" grep -qx MailTls=1 "$scratch/try-home/gathra-try/Gathra.ini"
cat "$scratch/try-it.out"

# --- The service: its own lines as a user and group of its own, with the rehearsal's simulator -----------
state=$scratch/var/lib/gathra/cradle1
install -d -o "$uid" -g "$uid" -m 0750 "$state"
as_service=(setpriv --reuid="$uid" --regid="$uid" --clear-groups)
unit_line() { sed -n "s|^$1=||p" "$unit" | sed "s|/usr/lib/gathra/|$lib/|; s|/var/lib/gathra/%i|$state|"; }
# shellcheck disable=SC2046 # the unit's command line, split as systemd splits it
(umask 0027 && "${as_service[@]}" $(unit_line ExecStartPre)) >/dev/null
check "ExecStartPre as the service's user ends with 0" test $? -eq 0
printf 'A001,10\n' >"$state/records.txt"
"${as_service[@]}" "$root/usr/bin/gathra-termsim" --folder "$state" --port 1 --records "$state/records.txt" \
    --background --time-limit 60 >"$scratch/rehearsal.out"
# shellcheck disable=SC2046
(umask 0027 && exec "${as_service[@]}" $(unit_line ExecStart)) >"$scratch/service.out" 2>&1 &
service=$!
pids+=("$service")
wait_for 60 grep -q '正常終了' "$scratch/service.out"
kill -TERM "$service"
wait "$service"
status=$?
end_background "$scratch/rehearsal.out"
check "ExecStart stores the upload and ends with 0 on SIGTERM" test "$status" -eq 0 -a "$(cat "$state/out/T01.txt")" = $'A001,10\r'
check "the output belongs to the service's user, readable by its group" test "$(stat -c '%u %a' "$state/out/T01.txt")" = "$uid 640"
cat "$scratch/service.out"

# --- First run of Gathra through the launcher, on Xvfb, with a scratch HOME ----------------------------
home=$scratch/home
mkdir -p "$home/runtime"
chmod 700 "$home/runtime"
Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" 2>"$scratch/xvfb.log" &
pids+=($!)
if ! wait_for 30 grep -q '[0-9]' "$scratch/display"; then
    fail "Xvfb did not start"
    cat "$scratch/xvfb.log" >&2
else
    display=:$(tr -d '[:space:]' <"$scratch/display")
    x_env=(env -u XAUTHORITY -u WAYLAND_DISPLAY -u SESSION_MANAGER -u XDG_DATA_HOME DISPLAY="$display"
        HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_CACHE_HOME="$home/.cache"
        XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=xcb)
    "${x_env[@]}" "$gathra" >"$scratch/gathra.out" 2>"$scratch/gathra.err" &
    gathra_pid=$!
    pids+=("$gathra_pid")
    folder=$home/.local/share/gathra
    # The launcher prepared the folder and its settings: the main window comes up with no box first.
    main=$("${x_env[@]}" timeout 60 xdotool search --sync --onlyvisible --name '^GATHRA for Windows' | head -n 1)
    check "the main window comes up" test -n "$main"
    no_box() { ! "${x_env[@]}" xdotool search --onlyvisible --name '^(File Read|Gathra)$'; }
    check "no box at the first start" no_box
    check "the folder is made with mode 0700" test "$(stat -c %a "$folder")" = 700
    check "the folder has ports/" test -d "$folder/ports"
    check "no program file in the folder" test ! -e "$folder/Gathra" -a ! -e "$folder/libquorlin.so"
    check "Gathra runs from the installed files" test "$(readlink "/proc/$gathra_pid/exe")" = "$lib/Gathra"
    check "the save folder is the documents folder" grep -qx "SaveFolder=$home/Documents" "$folder/Gathra.ini"
    check "the documents folder is made" test -d "$home/Documents"
    check "automatic start stays off" grep -qx "AutoStart=0" "$folder/Gathra.ini"
    check "mail only over TLS" grep -qx "MailTls=1" "$folder/Gathra.ini"
    kill -TERM "$gathra_pid"
    timeout 30 tail --pid="$gathra_pid" -f /dev/null
    wait "$gathra_pid"
    check "Gathra ends with 0 on SIGTERM" test $? -eq 0
    # Started from the menu, the launcher's refusal shows in Gathra's box.
    "${x_env[@]}" "$gathra" --from-menu --folder "$open_folder" >/dev/null 2>&1 &
    refusal=$!
    pids+=("$refusal")
    box=$("${x_env[@]}" timeout 60 xdotool search --sync --onlyvisible --name '^Gathra$' | head -n 1)
    check "a refusal from the menu shows in a box" test -n "$box"
    check "the box is Gathra's, with the launcher's reason" grep -qF "$open_folder : ｸﾞﾙｰﾌﾟまたは" "/proc/$refusal/cmdline"
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all package checks passed"
