#!/bin/sh
# app/salvor under a fresh Xvfb with empty XDG folders and the language "es":
# the start window maps at 1000 x 640 on the file-type page with all six
# categories (mask 63), its pixels are checked on a screenshot of the screen,
# "AppleLanguages" becomes es, and a second instance exits 0 without a window.
# Usage: xvfb-app.sh SALVOR
set -eu
for t in xvfb-run:xvfb import:imagemagick convert:imagemagick xwininfo:x11-utils; do
    command -v "${t%%:*}" >/dev/null 2>&1 || { echo "${t%%:*} not found: install the package ${t#*:}" >&2; exit 1; }
done
[ "${1:-}" ] || { echo "usage: $0 SALVOR" >&2; exit 2; }
if [ -z "${DISPLAY:-}" ] || [ -z "${SALVOR_XVFB_INNER:-}" ]; then
    unset QT_QPA_PLATFORM
    export SALVOR_XVFB_INNER=1
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi
app="$1"
work="$(mktemp -d)"
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/config" "$work/state" "$work/run"
chmod 700 "$work/run"
# A runtime folder of its own: a Salvor the developer runs is not this test's first instance.
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/run" XDG_DATA_HOME="$work/state/data"
# ASan reports leaks of a killed process: the first instance is killed at the end.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
"$app" es >"$work/out.txt" 2>&1 &
pid=$!
geometry=""
# Generous: an ASan build on a loaded machine can take long to start.
for i in $(seq 1 600); do
    geometry="$(xwininfo -root -tree | awk '/"Salvor": \("salvor"/ { print $(NF-1); exit }')"
    [ -n "$geometry" ] && break
    sleep 0.1
done
[ -n "$geometry" ] || { echo "FAIL: no start window mapped"; cat "$work/out.txt"; exit 1; }
size="${geometry%%+*}"
[ "$size" = "1000x640" ] || { echo "FAIL: start window is $size, not 1000x640"; exit 1; }
x="$(echo "$geometry" | cut -d+ -f2)"; y="$(echo "$geometry" | cut -d+ -f3)"
sleep 2 # the fade-in
import -window root "$work/shot.png"
pixel() { convert "$work/shot.png" -format "%[fx:int(255*p{$(($x + $1)),$(($y + $2))}.r)] %[fx:int(255*p{$(($x + $1)),$(($y + $2))}.g)] %[fx:int(255*p{$(($x + $1)),$(($y + $2))}.b)]" info:; }
near() { # near "r g b" R G B: within 6 per channel
    set -- $1 "$2" "$3" "$4"
    [ $(( ($1-$4)*($1-$4) <= 36 && ($2-$5)*($2-$5) <= 36 && ($3-$6)*($3-$6) <= 36 )) = 1 ]
}
fail=0
check() { got="$(pixel "$1" "$2")"; near "$got" "$3" "$4" "$5" || { echo "FAIL: pixel ($1, $2) is $got, expected $3 $4 $5 ($6)"; fail=1; }; }
check 300 11 38 41 45 "title bar"
check 40 80 37 41 45 "file-type page header"
check 40 300 32 36 39 "page below the header"
start="$(pixel 450 550)"; set -- $start
[ "$3" -gt $(( $1 + 60 )) ] || { echo "FAIL: start button at (450, 550) is $start, not blue"; fail=1; }
grep -q "selectValues = 63" "$work/out.txt" || { echo "FAIL: the page did not report mask 63"; cat "$work/out.txt"; fail=1; }
grep -q "^AppleLanguages=es" "$XDG_CONFIG_HOME/salvor/defaults.conf" || { echo "FAIL: AppleLanguages is not es"; cat "$XDG_CONFIG_HOME/salvor/defaults.conf"; fail=1; }
# A second instance leaves with 0 before any window.
status=0
"$app" >"$work/second.txt" 2>&1 || status=$?
[ "$status" = 0 ] || { echo "FAIL: second instance exited with $status"; cat "$work/second.txt"; fail=1; }
if grep -q "selectValues" "$work/second.txt"; then echo "FAIL: second instance built a window"; fail=1; fi
windows="$(xwininfo -root -tree | grep -c '"Salvor": ("salvor"' || true)"
[ "$windows" = 1 ] || { echo "FAIL: $windows start windows on screen"; fail=1; }
[ "$fail" = 0 ] && echo "xvfb app check passed"
exit "$fail"
