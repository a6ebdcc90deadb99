#!/usr/bin/env bash
# Installs what the build and the tests need, and nothing when all of it is there already.
set -euo pipefail

packages=(cmake ninja-build g++ python3 procps libgtest-dev libbenchmark-dev clang libclang-rt-14-dev
          g++-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine32:i386)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# wine32 is an i386 package: 32-bit Windows programs run on the 32-bit half of Wine.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
