#!/usr/bin/env bash
# Installs every Debian package Gathra needs to build, run and test.
# Idempotent: packages already present are left as they are.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    libgtest-dev libgmock-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libgsf-1-dev libfreexl-dev libzip-dev libexpat1-dev
    libsqlite3-dev sqlite3
    libcurl4-openssl-dev openssl ca-certificates
    python3 python3-aiosmtpd python3-openpyxl
    xvfb xauth fonts-ipafont-gothic fonts-ipafont-mincho
    libreoffice-calc-nogui
    imagemagick
    xdotool
    clang libclang-rt-14-dev
    unixodbc unixodbc-dev odbc-postgresql odbc-mariadb libsqliteodbc tdsodbc
    postgresql-15 mariadb-server
    lintian desktop-file-utils appstream file
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
fi
