#!/usr/bin/env bash
# Installs the Debian packages the build, tests and demo need; installs only what is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    zlib1g-dev libdeflate-dev libcli11-dev libssl-dev libxxhash-dev
    libgtk-3-dev libwebkit2gtk-4.1-dev
    xvfb xauth x11-utils python3 libglib2.0-dev-bin
    clang libclang-rt-14-dev clang-format
    mingw-w64 libz-mingw-w64-dev googletest wine64 nsis
)
if [ "${1:-}" = "--bench" ]; then
    packages+=(rsync time python3 haproxy)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
