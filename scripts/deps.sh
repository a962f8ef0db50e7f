#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that building and testing need, when missing.
set -euo pipefail

# Jobs are SQLite files: Qt's SQLite driver is a plugin of its own.
packages=(cmake g++ make pkg-config qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
          libqt5svg5-dev libqt5sql5-sqlite fonts-dejavu-core desktop-file-utils
          python3-pyvisa python3-pyvisa-py python3-pymeasure # SCPI clients for serve's tests
          poppler-utils # pdftotext and pdfinfo read reports back
          locales) # a decimal-comma locale for serve's tests, made with localedef
if [ "${ZERAK_QT6:-OFF}" = ON ]; then
    packages+=(qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-svg-dev libqt6sql6-sqlite libgl-dev)
fi
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
