#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# the machine lacks. Safe to run again: it only installs what is missing.
set -euo pipefail

native=(cmake g++ make pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev
        libcli11-dev nlohmann-json3-dev socat ser2net help2man dpkg-dev file unzip clang libclang-rt-14-dev
        libmodbus-dev mbpoll python3-pymodbus python3-serial-asyncio
        libcpp-httplib-dev libsystemd-dev libssl-dev openssl prometheus chromium
        mosquitto mosquitto-clients libmosquitto-dev python3-paho-mqtt
        libtomlplusplus-dev libsqlite3-dev sqlite3 libprotobuf-c-dev protobuf-c-compiler
        pybind11-dev python3-dev python3-pytest python3-matplotlib curl netcat-openbsd systemd)
windows=(g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev wine wine32)

want=("${native[@]}")
# Node.js and npm run the Sparkplug tests' decoder (npm ci into the build tree):
# Debian's only where no node is installed, never over one that is there.
command -v node >/dev/null 2>&1 || want+=(nodejs npm)
if [ "${1:-}" != "--native-only" ]; then want+=("${windows[@]}"); fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if printf '%s\n' "${missing[@]}" | grep -q '^wine32$'; then
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
