#!/usr/bin/env bash
# Installs every Debian package the project needs, and nothing when all are
# there. Safe to run again; ./mivo runs it before each command.
set -euo pipefail

packages=(
  cmake ninja-build g++
  libgtest-dev libgmock-dev googletest libbenchmark-dev valgrind
  nlohmann-json3-dev libcli11-dev pkg-config
  libtomlplusplus-dev libhivex-dev libgoogle-perftools-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 python3
  osslsigncode openssl zip wine64
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "mivo: installing ${missing[*]}" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "mivo: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
