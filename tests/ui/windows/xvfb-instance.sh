#!/bin/sh
# One instance, under a fresh Xvfb: with an unrelated process named "salvor"
# running, app/salvor starts; a second start raises the first one's window
# above a window covering it and exits 0 without a window of its own; a
# click on the start window's close button leaves no process of the program.
# Usage: xvfb-instance.sh SALVOR
set -eu
for t in xvfb-run:xvfb xdotool:xdotool xwininfo:x11-utils xmessage:x11-utils import:imagemagick convert:imagemagick; do
    command -v "${t%%:*}" >/dev/null 2>&1 || { echo "${t%%:*} not found: install the package ${t#*:}" >&2; exit 1; }
done
[ "${1:-}" ] || { echo "usage: $0 SALVOR" >&2; exit 2; }
if [ -z "${DISPLAY:-}" ] || [ -z "${SALVOR_XVFB_INNER:-}" ]; then
    unset QT_QPA_PLATFORM
    export SALVOR_XVFB_INNER=1
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi
app="$(readlink -f "$1")"
work="$(mktemp -d)"
pids=""
trap 'for p in $pids; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
mkdir -p "$work/config" "$work/state" "$work/work" "$work/bin" "$work/run"
chmod 700 "$work/run"
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/run" XDG_DATA_HOME="$work/state/data"
export SALVOR_WORK_DIR="$work/work"
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
fail=0

# Somebody else's program that happens to be called salvor.
cp /bin/sleep "$work/bin/salvor"
"$work/bin/salvor" 300 &
pids="$pids $!"

"$app" >"$work/first.txt" 2>&1 &
first=$!
pids="$pids $first"
geometry=""
for i in $(seq 1 600); do
    geometry="$(xwininfo -root -tree | awk '/"Salvor": \("salvor"/ { print $(NF-1); exit }')"
    [ -n "$geometry" ] && break
    kill -0 "$first" 2>/dev/null || break
    sleep 0.1
done
[ -n "$geometry" ] || { echo "FAIL: no start window beside a process named salvor"; cat "$work/first.txt"; exit 1; }
x="$(echo "$geometry" | cut -d+ -f2)"; y="$(echo "$geometry" | cut -d+ -f3)"
sleep 2 # the fade-in

pixel() {
    import -window root "$work/shot.png"
    convert "$work/shot.png" -format "%[fx:int(255*p{$1,$2}.r)] %[fx:int(255*p{$1,$2}.g)] %[fx:int(255*p{$1,$2}.b)]" info:
}
is_title_bar() { # the start window's bar is (38, 41, 45)
    set -- $1
    [ $(( ($1-38)*($1-38) <= 36 && ($2-41)*($2-41) <= 36 && ($3-45)*($3-45) <= 36 )) = 1 ]
}

# A window over the whole screen hides the start window.
xmessage -geometry 1280x800+0+0 "covering the start window" &
cover=$!
pids="$pids $cover"
for i in $(seq 1 50); do
    is_title_bar "$(pixel $((x + 300)) $((y + 11)))" || break
    sleep 0.1
done
if is_title_bar "$(pixel $((x + 300)) $((y + 11)))"; then echo "FAIL: the cover did not hide the start window"; fail=1; fi

status=0
"$app" >"$work/second.txt" 2>&1 || status=$?
[ "$status" = 0 ] || { echo "FAIL: the second start exited with $status"; cat "$work/second.txt"; fail=1; }
if grep -q "selectValues" "$work/second.txt"; then echo "FAIL: the second start built a window"; fail=1; fi
raised=0
for i in $(seq 1 50); do
    if is_title_bar "$(pixel $((x + 300)) $((y + 11)))"; then raised=1; break; fi
    sleep 0.1
done
[ "$raised" = 1 ] || { echo "FAIL: the second start did not raise the first one's window"; fail=1; }
windows="$(xwininfo -root -tree | grep -c '"Salvor": ("salvor"' || true)"
[ "$windows" = 1 ] || { echo "FAIL: $windows start windows on screen"; fail=1; }

# The close button (the first of the bar's lights) ends the program.
kill "$cover" 2>/dev/null || true
sleep 0.5
xdotool mousemove $((x + 16)) $((y + 10)) click 1
ended=0
for i in $(seq 1 100); do
    if ! kill -0 "$first" 2>/dev/null; then ended=1; break; fi
    sleep 0.1
done
[ "$ended" = 1 ] || { echo "FAIL: the program still runs after its window was closed"; fail=1; }
# Only this test's processes (its runtime folder): a Salvor the user has open
# elsewhere is none of its business.
for exe in /proc/[0-9]*/exe; do
    if [ "$(readlink "$exe" 2>/dev/null || true)" = "$app" ] &&
        tr '\0' '\n' < "${exe%/exe}/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$work/run"; then
        echo "FAIL: a process of the program is left: ${exe%/exe}"
        fail=1
    fi
done
if [ "$ended" = 1 ]; then
    status=0
    wait "$first" || status=$?
    [ "$status" = 0 ] || { echo "FAIL: the program ended with $status"; cat "$work/first.txt"; fail=1; }
fi
grep -q "raise requested" "$work/work/"*.log 2>/dev/null || grep -rq "raise requested" "$work/work" ||
    { echo "FAIL: the log has no raise request"; fail=1; }
[ "$fail" = 0 ] && echo "xvfb instance check passed"
exit "$fail"
