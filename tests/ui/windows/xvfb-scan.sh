#!/bin/sh
# The program as a user meets it, under a fresh Xvfb and as root: a copy of
# the fat_32 fixture attached read-only as a loop device, app/salvor driven
# with xdotool (Start on the file-type page, the image's volume chosen on the
# device page by typing its disk's name, Return), a finished scan whose
# count of files (the facade's, written to the log at the scan's end) is the
# manifest's; then the results window's close button ends the program.
# Other images come and go as on a user's desktop: one attached before ours
# (so ours is not the row chosen first), one attached 1 s before Return
# (the device page is listed again while ours is chosen), one attached 1 s
# after Return and the first detached then; the scan still runs on the
# device chosen.
# Usage: xvfb-scan.sh SALVOR SOURCE_DIR FIXTURE_DIR
set -eu
[ "$(id -u)" -eq 0 ] || { echo "xvfb scan: skipped, needs root (attaches a loop device)"; exit 77; }
for t in xvfb-run:xvfb xdotool:xdotool xwininfo:x11-utils losetup:mount; do
    command -v "${t%%:*}" >/dev/null 2>&1 || { echo "${t%%:*} not found: install the package ${t#*:}" >&2; exit 1; }
done
[ $# -eq 3 ] || { echo "usage: $0 SALVOR SOURCE_DIR FIXTURE_DIR" >&2; exit 2; }
if [ -z "${DISPLAY:-}" ] || [ -z "${SALVOR_XVFB_INNER:-}" ]; then
    unset QT_QPA_PLATFORM
    export SALVOR_XVFB_INNER=1
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi
app="$1"; src="$2"; fixtures="$3"
. "$src/tests/ui/windows/e2e-lib.sh"
x_ready "$@"
bash "$src/tests/fixtures/make-fixture" fat_32 "$fixtures" || exit 1
bash "$src/tests/fixtures/make-fixture" fat_16 "$fixtures" || exit 1
work="$(mktemp -d)"
pid=""; dev=""; before=""; near=""; late=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    for d in "$dev" "$before" "$near" "$late"; do [ -n "$d" ] && losetup -d "$d" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/config" "$work/state" "$work/work" "$work/run"
chmod 700 "$work/run"
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/run" XDG_DATA_HOME="$work/state/data"
export SALVOR_WORK_DIR="$work/work"
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
log="$work/work/recovery.log"

# A name no other disk starts with: the device page's type-ahead finds it.
image="$work/xvfbscan$$.img"
cp "$fixtures/fat_32/fat_32.img" "$image"
# Other images, of another count of files: a scan of one of them is seen.
for other in before near late; do cp "$fixtures/fat_16/fat_16.img" "$work/xvfb$other$$.img"; done
before="$(losetup -r -f --show "$work/xvfbbefore$$.img")"
dev="$(losetup -r -f --show "$image")"
# The manifest: the regular files The Sleuth Kit lists, live and deleted.
want="$(awk -F'\t' '$1 ~ /^r\/r/ && $2 !~ /\$/ && $2 !~ /Volume Label/' "$fixtures/fat_32/fat_32.istat" | wc -l)"
[ "$want" -gt 40 ] || { echo "FAIL: a manifest of $want files"; exit 1; }

"$app" >"$work/out.txt" 2>&1 &
pid=$!
# The geometry of the program's window, "" when none.
window() { xwininfo -root -tree | awk '/"Salvor": \("salvor"/ { print $(NF-1); exit }'; }
wait_for() { # wait_for SECONDS COMMAND...: until the command succeeds
    n=$(($1 * 10)); shift
    while [ "$n" -gt 0 ]; do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1; n=$((n - 1))
    done
    return 1
}
mapped() { [ -n "$(window)" ]; }
wait_for 60 mapped || { echo "FAIL: no start window"; cat "$work/out.txt"; exit 1; }
geometry="$(window)"
x="$(echo "$geometry" | cut -d+ -f2)"; y="$(echo "$geometry" | cut -d+ -f3)"
sleep 2 # the fade-in

# Start (the blue button at the bottom of the file-type page).
xdotool mousemove $((x + 500)) $((y + 550)) click 1
sleep 3 # the device list
# Our own device, never the one preselected (a card the user attached, say).
choose_device "xvfbscan$$" "$dev" "$log" || exit 1
xdotool key Down
sleep 0.3
chosen_is "xvfbscan$$" "$log" || { echo "FAIL: Down left the rows of xvfbscan$$ ($dev)"; exit 1; }
near="$(losetup -r -f --show "$work/xvfbnear$$.img")"
sleep 1
chosen_is "xvfbscan$$" "$log" || echo "the device page chose another row after $near came"
xdotool key Return
# While the program goes from the device page to the results window and
# starts the scan: a device comes and another goes.
sleep 1
late="$(losetup -r -f --show "$work/xvfblate$$.img")"
losetup -d "$before" && before=""
finished() { [ -f "$log" ] && grep -q "scan finished" "$log"; }
wait_for 120 finished || { echo "FAIL: no finished scan"; tr '\r' '\n' <"$log"; cat "$work/out.txt"; exit 1; }
line="$(grep -a -o "scan finished: [^$(printf '\r')]*" "$log" | tail -1)"
echo "$line"
tr '\r' '\n' <"$log" | grep -a -o "scan of .*" | tail -1
fail=0
case "$line" in
*" files=$want "*) ;;
*) echo "FAIL: the scan counted other than the manifest's $want files (another device than $dev was scanned?)"; fail=1 ;;
esac
case "$line" in *" result=0x0"*) ;; *) echo "FAIL: the scan did not end with 0"; fail=1 ;; esac

# The results window's close button ends the program.
results() { [ "$(window | cut -d+ -f1)" != "1000x640" ] && mapped; }
wait_for 10 results || { echo "FAIL: no results window"; fail=1; }
geometry="$(window)"
x="$(echo "$geometry" | cut -d+ -f2)"; y="$(echo "$geometry" | cut -d+ -f3)"
xdotool mousemove $((x + 16)) $((y + 10)) click 1
gone() { ! kill -0 "$pid" 2>/dev/null; }
n=100
while [ "$n" -gt 0 ] && ! gone; do sleep 0.1; n=$((n - 1)); done
if gone; then
    status=0
    wait "$pid" || status=$?
    pid=""
    [ "$status" = 0 ] || { echo "FAIL: the program ended with $status"; fail=1; }
else
    echo "FAIL: the program still runs after the results window was closed"
    fail=1
fi
[ "$fail" = 0 ] && echo "xvfb scan check passed: $want files, as the manifest lists"
exit "$fail"
