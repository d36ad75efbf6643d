#!/usr/bin/env bash
# Installs everything needed to build, test and run the updater on Debian 12.
# Idempotent: packages already present are left as they are. Packages named
# on the command line are installed as well (scripts that need more, such as
# scripts/screenshot.sh, pass theirs).
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-translations-l10n
    libtomcrypt-dev libtommath-dev zlib1g-dev libssl-dev
    libgl-dev
    tinyproxy
    strace util-linux faketime
    nginx-light openssl
    python3
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi
