#!/usr/bin/env bash
# Makes sure the Debian 12 packages the build needs are installed. As root it installs what is
# missing with apt-get; otherwise it names the packages and stops.
#   deps.sh build   - to build and run the tests (adds GoogleTest and the packaging checkers)
#   deps.sh run     - to build and start the program (adds a virtual X server when there is no
#                     display)
#   deps.sh fuzz    - to build the fuzz targets (adds clang and its fuzzer runtime)
#   deps.sh bench   - to run bench/run.sh (adds ripgrep, its second peer)
set -euo pipefail

want=(cmake g++ make pkgconf qt6-base-dev libgl-dev libxcb1-dev fonts-liberation help2man)
case "${1:-build}" in
    build) want+=(libgtest-dev dpkg-dev lintian appstream desktop-file-utils acl attr clang-format git xvfb) ;;
    run)
        if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
            want+=(xvfb xauth)
        fi ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    bench) want+=(ripgrep) ;;
esac

missing=()
for p in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
