#!/usr/bin/env bash
# Installs the build into a temporary prefix, starts the installed command-line program on a
# file, and builds the Debian package, checking what it holds and depends on.
set -euo pipefail
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
for f in bin/varnobis bin/varnobis-cli lib/varnobis/varnobis lib/varnobis/varnobis-cli \
         lib/varnobis/Samples share/applications/varnobis.desktop \
         share/icons/hicolor/scalable/apps/varnobis.svg; do
    [ -e "$tmp/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

printf 'keep\r\n\r\ndrop me\r\n' > "$tmp/in.csv"
mkdir "$tmp/out"
"$tmp/prefix/bin/varnobis-cli" --mode containing --text drop --out-dir "$tmp/out" "$tmp/in.csv" >/dev/null
[ "$(od -An -c "$tmp/out/in.txt" | tr -s ' ')" = " k e e p \r \n \r \n" ] || {
    echo "installed CLI wrote the wrong result"; od -c "$tmp/out/in.txt"; exit 1; }

if command -v dpkg-shlibdeps >/dev/null && command -v cpack >/dev/null; then
    (cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -G DEB >/dev/null)
    deb=$(ls "$tmp"/*.deb)
    deps=$(dpkg-deb -f "$deb" Depends)
    case "$deps" in *libqt6core6*) ;; *) echo "package misses its Qt dependency: $deps"; exit 1;; esac
    case "$deps" in *libqt6widgets6*) ;; *) echo "package misses Qt Widgets: $deps"; exit 1;; esac
    # Listed once into a variable: grep -q leaving a pipe early would kill dpkg-deb with SIGPIPE.
    contents=$(dpkg-deb -c "$deb")
    grep -q './usr/lib/varnobis/Samples/' <<<"$contents" || { echo "no Samples in package"; exit 1; }
    grep -q './usr/bin/varnobis-cli' <<<"$contents" || { echo "no CLI link in package"; exit 1; }
fi
echo "install test passed"
