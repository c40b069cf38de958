#!/usr/bin/env bash
# Installs, on Debian, whatever the build and the tests need and is missing.
# Safe to run again: when everything is there it does nothing and says nothing.
set -euo pipefail

packages=(
  cmake make g++ libgtest-dev libgmock-dev          # host build and unit tests
  g++-mingw-w64-i686 binutils-mingw-w64-i686        # the 32-bit Windows build
  wine wine64 wine32:i386                           # Windows, for the real-system tests
  wine32-preloader:i386                             # reserves Wine's memory before anything else maps (see wine-env.sh)
  qemu-user-static                                  # 32-bit code where the kernel runs none
  xvfb openbox xdotool x11-utils imagemagick fonts-nanum  # windows, a window manager, screenshots, a Korean font
  python3-pefile python3-cryptography               # reading programs, components and certificates back
  osslsigncode gcab zip unzip openssl               # releases: signing, the cabinet, the zip, test certificates
  libengine-pkcs11-openssl softhsm2                 # signing with a key on a token, and a software token to try it
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
  # A mirror in the middle of a sync fails one index ("File has unexpected
  # size"); apt keeps the indexes it did fetch, so after two retries the
  # install goes on with what it has.
  updated="" said=""
  for attempt in 1 2 3; do
    if said=$(as_root apt-get update -qq 2>&1); then updated=1; break; fi
    [ "$attempt" -lt 3 ] && sleep 10
  done
  if [ -z "$updated" ]; then
    printf '%s\n' "$said" | grep '^E: Failed to fetch' | sed 's/^/  /' || true
    echo "warning: apt-get update failed three times on the indexes above; installing from the indexes it has"
  fi
  install=(as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends)
  if ! "${install[@]}" "${missing[@]}" >/dev/null; then
    # With one architecture's index of a suite missing, the other side of a
    # multi-arch library can come from a newer suite than its partner can:
    # prefer the base release, which has both.
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
    echo "the install did not resolve; trying again preferring the base release ($codename)"
    "${install[@]}" -t "$codename" "${missing[@]}" >/dev/null
  fi
fi

# Some kernels are built or booted without 32-bit support ("32-bit emulation
# disabled"): QEMU's user-mode emulator then runs Wine's 32-bit side,
# registered with the kernel for i386 executables until the next boot.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || as_root mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    echo "this kernel runs no 32-bit code: registering qemu-i386 to run it"
    # The ELF header of an i386 executable; the kernel decodes the escapes.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FOC' |
      as_root tee "$binfmt/register" >/dev/null
  fi
  /usr/lib/wine/wine --version >/dev/null
fi
