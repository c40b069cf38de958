#!/usr/bin/env bash
# Installs, on Debian, whatever the build and the tests need and is missing.
# Safe to run again: when everything is there it does nothing and says nothing.
set -euo pipefail

packages=(
  cmake make g++ libgtest-dev libgmock-dev          # host build and unit tests
  g++-mingw-w64-i686 binutils-mingw-w64-i686        # the 32-bit Windows build
  wine wine64 wine32:i386                           # Windows, for the real-system tests
  qemu-user-static                                  # 32-bit code where the kernel runs none
  xvfb openbox xdotool x11-utils imagemagick fonts-nanum  # windows, a window manager, screenshots, a Korean font
  python3-pefile                                    # reading the built program and the components back
  osslsigncode gcab zip unzip openssl               # releases: signing, the cabinet, the zip, test certificates
  clang libclang-rt-14-dev cppcheck clang-tidy      # fuzzing and static analysis
)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
