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
         share/icons/hicolor/scalable/apps/varnobis.svg share/doc/varnobis/copyright \
         share/doc/varnobis/changelog.gz share/bash-completion/completions/varnobis-cli \
         share/metainfo/*.metainfo.xml; do
    compgen -G "$tmp/prefix/$f" >/dev/null || { echo "not installed: $f"; exit 1; }
done

# Every option the command line's --help lists is in its manual page and its completion.
options=$("$tmp/prefix/bin/varnobis-cli" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ "$(wc -l <<<"$options")" -ge 10 ] || { echo "too few options read from --help: $options"; exit 1; }
completion=$(cat "$tmp/prefix/share/bash-completion/completions/varnobis-cli")
if command -v help2man >/dev/null; then
    for page in varnobis varnobis-cli; do
        [ -e "$tmp/prefix/share/man/man1/$page.1.gz" ] || { echo "no manual page for $page"; exit 1; }
    done
    # The page source writes a dash as \-.
    page=$(gzip -dc "$tmp/prefix/share/man/man1/varnobis-cli.1.gz" | sed 's/\\-/-/g')
    for o in $options; do
        grep -q -- "$o\b" <<<"$page" || { echo "varnobis-cli(1) does not name $o"; exit 1; }
    done
    window=$(gzip -dc "$tmp/prefix/share/man/man1/varnobis.1.gz" | sed 's/\\-/-/g')
    for o in $("$tmp/prefix/bin/varnobis" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        grep -q -- "$o\b" <<<"$window" || { echo "varnobis(1) does not name $o"; exit 1; }
    done
    grep -q '^\.SH "EXIT STATUS"' <<<"$page" || { echo "varnobis-cli(1) has no EXIT STATUS"; exit 1; }
fi
for o in $options; do
    grep -q -- "$o\b" <<<"$completion" || { echo "the bash completion does not offer $o"; exit 1; }
done
# The completion offers the modes after --mode.
(
    source "$tmp/prefix/share/bash-completion/completions/varnobis-cli"
    COMP_WORDS=(varnobis-cli --mode not-); COMP_CWORD=2
    _varnobis_cli
    [ "${COMPREPLY[*]}" = "not-containing not-keywords" ] || { echo "completion: ${COMPREPLY[*]}"; exit 1; }
)

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
    case "$deps" in *fonts-liberation*) ;; *) echo "package misses fonts-liberation: $deps"; exit 1;; esac
    [ "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 4 ] || { echo "no long description"; exit 1; }
    # The packaged programs carry no symbol tables, and bind every symbol at start.
    mkdir "$tmp/deb"
    dpkg-deb -x "$deb" "$tmp/deb"
    for program in varnobis varnobis-cli; do
        sections=$(LC_ALL=C readelf -S "$tmp/deb/usr/lib/varnobis/$program")
        if grep -q -E '\.symtab|\.debug_info' <<<"$sections"; then
            echo "$program is not stripped"; exit 1
        fi
        dynamic=$(LC_ALL=C readelf -d "$tmp/deb/usr/lib/varnobis/$program")
        grep -q -E 'BIND_NOW|FLAGS.*NOW' <<<"$dynamic" || { echo "$program is not bound now"; exit 1; }
    done
fi
echo "install test passed"
