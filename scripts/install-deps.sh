#!/usr/bin/env bash
# Installs, with apt-get, every Debian package that building and testing LumvexSdk needs.
# Does nothing when they are all present already.
set -euo pipefail

packages=(
  chromium  # headless, for the test of the collector's page
  build-essential cmake ninja-build pkg-config git clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libplist-dev nlohmann-json3-dev libsodium-dev libcurl4-openssl-dev libssl-dev
  libgps-dev gpsd libsystemd-dev dbus geoclue-2.0 geoclue-2-demo libcpp-httplib-dev libsqlite3-dev sqlite3 openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
