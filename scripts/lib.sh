# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by the README's commands: installs missing Debian packages and configures + builds one preset.
# shellcheck shell=bash

FLOWSENTRY_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Everything the build, the tests and the main job need on a fresh Debian 12.
FLOWSENTRY_PACKAGES=(
    cmake ninja-build g++ pkg-config python3
    libgtest-dev libgmock-dev libbenchmark-dev
    libpcap-dev libx11-dev libfixbuf-dev libc-ares-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-svg-dev libqt6svg6 qt6-charts-dev libqt6opengl6-dev
    libcap2-bin desktop-file-utils appstream lintian dpkg-dev file man-db
    clang libclang-rt-14-dev clang-format
    iproute2 iputils-ping strace ethtool nfdump
    xvfb xauth x11-apps imagemagick
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update -q
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}

build_preset() {
    local preset="$1"
    cmake --preset "$preset" -S "$FLOWSENTRY_ROOT" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
}
