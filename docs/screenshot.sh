#!/usr/bin/env bash
# Remakes docs/screenshot.png: the window just after a run over the bundled sample files, with
# the "Done." message still showing. It runs the real program under a virtual X server with a
# throw-away settings store and output folder, so nothing of the user's own is touched.
#   needs: xvfb xauth xdotool imagemagick (apt-get install xvfb xauth xdotool imagemagick)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNOBIS_BUILD_DIR:-$root/build}
out=${1:-$root/docs/screenshot.png}
for tool in xvfb-run xdotool import; do
    command -v "$tool" >/dev/null || { echo "screenshot.sh needs $tool" >&2; exit 1; }
done
bash "$root/scripts/build.sh" --target varnobis >/dev/null

work=$(mktemp -d /tmp/varnobis-screenshot.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config/Quorvane" "$work/results"
# Mode 3 (lines containing any keyword) with two keywords, results to a folder of our own.
cat >"$work/config/Quorvane/Varnobis.ini" <<EOF
[Varnobis]
Combo1=3
Keywords=flour||MySeparator12||milk||MySeparator12||
Option1=False
Option2=True
Check1=1
Option4=True
Option3=False
Output%20Folder=$work/results
EOF

cat >"$work/drive.sh" <<'EOF'
#!/usr/bin/env bash
set -euo pipefail
"$VARNOBIS" &
app=$!
find_window() {  # name -> window id, waiting for it to appear
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1) && [ -n "$id" ] \
            && { echo "$id"; return; }
        sleep 0.1
    done
    echo "no window named $1" >&2; kill "$app"; exit 1
}
main=$(find_window '^Varnobis')
sleep 0.5
# "Load Sample/Example Files" (twips 4080,4485 of 3840x405), then No to opening the folder.
xdotool mousemove --window "$main" 400 312 click 1
sleep 1
xdotool key n
sleep 0.5
# "Start Removing" (twips 8040,5320 of 7800x405).
xdotool mousemove --window "$main" 796 368 click 1
# The run is short; the "Done." message then waits for OK.
sleep 3
# The message box is a window of its own, so take the screen and cut out the main window.
eval "$(xdotool getwindowgeometry --shell "$main")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$SHOT"
kill "$app"
EOF
chmod +x "$work/drive.sh"

XDG_CONFIG_HOME="$work/config" VARNOBIS="$build/app/varnobis" SHOT="$work/shot.png" \
    xvfb-run -a -s "-screen 0 1120x520x24" "$work/drive.sh"
ls "$work/results" | grep -q . || { echo "the run wrote no results" >&2; exit 1; }
cp "$work/shot.png" "$out"
echo "wrote $out"
