#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent and non-interactive; safe to run on every invocation.
set -euo pipefail

packages=(
  cmake make ninja-build
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  libz-mingw-w64-dev
  googletest
  wine wine64
  python3 openssl
  iproute2 util-linux procps
  zip unzip curl
  clang-format
  clang libclang-rt-14-dev llvm zlib1g-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
