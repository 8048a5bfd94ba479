#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only
# those that are missing. Run as root (or with sudo available).
set -euo pipefail

packages=(build-essential cmake pkg-config qt6-base-dev qt6-serialport-dev qt6-charts-dev libqt6opengl6-dev libgl-dev
          ccache xvfb xauth clang libclang-rt-14-dev
          libqt6sql6-sqlite libqt6sql6-psql postgresql sqlite3 libsqlite3-dev
          desktop-file-utils man-db groff-base file srecord binutils libelf-dev
          python3-jsonschema ser2net poppler-utils
          qt6-httpserver-dev qt6-websockets-dev chromium)
if [ "${VARN_SETUP_EXTRA:-}" != "" ]; then
  # shellcheck disable=SC2206
  packages+=(${VARN_SETUP_EXTRA})
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
