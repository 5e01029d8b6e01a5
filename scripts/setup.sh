#!/usr/bin/env bash
# Installs the Debian 12 packages Velkart builds and runs with, those that
# are missing. Extra package names may be given as arguments.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    librsvg2-bin
    libstb-dev nlohmann-json3-dev libcli11-dev
    qt6-base-dev libasound2-dev libfontconfig-dev
    # Qt6Gui's CMake files look for it (an optional dependency) and say
    # "Could NOT find XKB" in every configure without it.
    libxkbcommon-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libcli11-dev nlohmann-json3-dev
    # kav's record of checked units; the sqlite3 shell to look into one.
    libsqlite3-dev sqlite3
    # The tests render kav's HTML report in a real browser, headless.
    chromium
    fonts-arphic-uming qt6-translations-l10n
    # The serial-port server the network ports are tested against.
    ser2net
    # Wireshark's command line, which reads kav's captures with our dissector.
    tshark
    # A line's central record: libpq, and the server its tests start.
    libpq-dev postgresql-15
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
