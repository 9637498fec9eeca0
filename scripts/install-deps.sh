#!/usr/bin/env bash
# Installs every Debian package Gathra needs to build, run, test, package, fuzz and demonstrate.
# This is the one list: a test that finds a tool missing names the Debian package to add here.
# Idempotent: packages already present are left as they are.
set -euo pipefail

PACKAGES=(
    # the build
    build-essential cmake pkg-config ccache
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-charts-dev libqt6opengl6-dev
    libgsf-1-dev libzip-dev libexpat1-dev libsqlite3-dev libcurl4-openssl-dev unixodbc-dev
    # the tests: units, the real-format checks, the servers the suite starts, the window on X
    libgtest-dev libgmock-dev
    libfreexl-dev sqlite3 libreoffice-calc-nogui
    openssl ca-certificates python3 python3-aiosmtpd python3-openpyxl
    unixodbc odbc-postgresql odbc-mariadb libsqliteodbc tdsodbc postgresql-15 mariadb-server
    xvfb xauth xdotool fonts-ipafont-gothic fonts-ipafont-mincho qt6-translations-l10n
    # network ports: a serial device server on loopback, network namespaces joined by veth
    ser2net iproute2
    # the packages and their checks (systemd-analyze comes with systemd)
    lintian desktop-file-utils appstream file systemd xdg-user-dirs
    # the fuzzing
    clang libclang-rt-14-dev
    # the demo's screenshot
    imagemagick
)

# The database servers are for the tests only, which start their own instances as an unprivileged user
# in temporary folders. Installing them must not start (or enable the start of) system-wide services:
# while apt runs, a policy-rc.d refuses every service start; it is removed again only if this script
# made it.
POLICY=/usr/sbin/policy-rc.d
made_policy=0
remove_policy() {
    if [ "$made_policy" = 1 ]; then
        rm -f "$POLICY"
    fi
}
trap remove_policy EXIT

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: run as root to install: ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    if [ ! -e "$POLICY" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$POLICY"
        chmod 755 "$POLICY"
        made_policy=1
    fi
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
    # Nor may they start at the next boot: the units these packages enable on install are disabled again.
    for pair in ser2net:ser2net.service postgresql-15:postgresql.service mariadb-server:mariadb.service; do
        case " ${missing[*]} " in
            *" ${pair%%:*} "*) systemctl disable --quiet "${pair#*:}" 2>/dev/null || true ;;
        esac
    done
fi
