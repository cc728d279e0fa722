#!/usr/bin/env bash
# Installs the Debian 12 packages that the builds, the tests and the demo need, when missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  g++-mingw-w64-x86-64-posix wine wine64
  nlohmann-json3-dev libcurl4-openssl-dev libssl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 openssl util-linux nginx curl time osslsigncode zsync
  clang-14 libfuzzer-14-dev llvm-14 clang-format
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${missing[@]}"
fi
