#!/usr/bin/env bash
# Installs from Debian's archive what building and testing need, when missing.
#   install-deps.sh            the native build and its tests
#   install-deps.sh --windows  also the Windows cross compilers and Wine
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest python3 util-linux locales strace e2fsprogs
          lintian systemd)
if [[ "${1:-}" == "--windows" ]]; then
  # 32-bit Wine where the machine runs 32-bit code; 64-bit Wine and compiler where it does not.
  packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 wine32:i386)
fi

missing=()
for package in "${packages[@]}"; do
  [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
if [[ " ${missing[*]} " == *":i386 "* ]] && [[ $'\n'$(dpkg --print-foreign-architectures)$'\n' != *$'\n'i386$'\n'* ]]; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
