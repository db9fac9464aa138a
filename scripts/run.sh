#!/usr/bin/env bash
# Builds Varnobis (both programs and their manual pages, so that an install can follow) and
# starts it. Without a display it starts under a virtual X server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNOBIS_BUILD_DIR:-$root/build}
bash "$root/scripts/deps.sh" run
bash "$root/scripts/build.sh" --target varnobis varnobis-cli varnobis_docs
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting under xvfb-run." >&2
    exec xvfb-run -a "$build/app/varnobis" "$@"
fi
exec "$build/app/varnobis" "$@"
