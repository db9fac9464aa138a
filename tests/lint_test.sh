#!/usr/bin/env bash
# The checkers a distribution runs over what the build installs, each where it is installed
# (exit 77, reported as skipped, where it is not):
#   lint_test.sh desktop  BUILD SOURCE  - desktop-file-validate on the desktop entry
#   lint_test.sh appstream BUILD SOURCE - appstreamcli validate on the AppStream metainfo
#   lint_test.sh lintian  BUILD SOURCE  - lintian on the Debian package: no errors, no warnings
set -euo pipefail
check=$1 build=$2 source=$3
skip() { echo "skipped: $1"; exit 77; }

case "$check" in
desktop)
    command -v desktop-file-validate >/dev/null || skip "desktop-file-validate is not installed"
    desktop-file-validate "$source/dist/varnobis.desktop"
    ;;
appstream)
    command -v appstreamcli >/dev/null || skip "appstreamcli is not installed"
    metainfo=$(ls "$build"/install/*.metainfo.xml)
    # --no-net: the screenshot's address is a build setting that need not be reachable here.
    appstreamcli validate --no-net --pedantic "$metainfo"
    ;;
lintian)
    command -v lintian >/dev/null || skip "lintian is not installed"
    command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps is not installed"
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    (cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -G DEB >/dev/null)
    # Lintian refuses to run as root unless told it may.
    lintian --allow-root --fail-on error,warning --display-info "$tmp"/*.deb | tee "$tmp/tags"
    if grep -E '^[EW]: ' "$tmp/tags"; then
        echo "lintian reports errors or warnings"
        exit 1
    fi
    ;;
*)
    echo "unknown check $check"; exit 2 ;;
esac
echo "$check check passed"
