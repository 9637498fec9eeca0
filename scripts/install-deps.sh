#!/usr/bin/env bash
# Installs every Debian package Gathra needs to build, run and test.
# Idempotent: packages already present are left as they are.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    libgtest-dev libgmock-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libgsf-1-dev libfreexl-dev
    libsqlite3-dev sqlite3
    libcurl4-openssl-dev openssl ca-certificates
    python3 python3-aiosmtpd
    xvfb xauth fonts-ipafont-gothic fonts-ipafont-mincho
    libreoffice-calc-nogui
    imagemagick
    xdotool
    clang libclang-rt-14-dev
)

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
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi
