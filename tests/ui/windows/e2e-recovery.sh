#!/bin/bash
# End to end, as a user would: the fat_32 fixture attached read-only as a
# loop device, app/salvor under a fresh Xvfb with empty XDG folders, driven
# with xdotool: Return on the file-type page, the image's row by type-ahead,
# Return, Space on the path root once the scan has ended, a click on the
# recover button, the destination typed, Return on the finished dialog,
# Ctrl+Q. Every file of the fixture's manifest (live and deleted) must come
# back with its sha256. Screenshots of each state stay in OUTDIR and are
# checked at known pixels. Root only (exit 77: skipped).
# Usage: e2e-recovery.sh SALVOR SOURCE_DIR FIXTURE_OUT OUTDIR
set -eu
if [ "$(id -u)" != 0 ]; then echo "SKIP: needs root (attaches a loop device with losetup)"; exit 77; fi
for t in xvfb-run:xvfb xdotool:xdotool import:imagemagick convert:imagemagick xwininfo:x11-utils losetup:mount; do
    command -v "${t%%:*}" >/dev/null 2>&1 || { echo "${t%%:*} not found: install the package ${t#*:}" >&2; exit 1; }
done
[ $# = 4 ] || { echo "usage: $0 SALVOR SOURCE_DIR FIXTURE_OUT OUTDIR" >&2; exit 2; }
if [ -z "${SALVOR_XVFB_INNER:-}" ]; then
    unset QT_QPA_PLATFORM
    export SALVOR_XVFB_INNER=1
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi
app="$1" src="$2" fixtures="$3" out="$4"
. "$src/tests/ui/windows/e2e-lib.sh"
x_ready "$@"
mkdir -p "$out"
"$src/tests/fixtures/make-fixture" fat_32 "$fixtures"
work="$(mktemp -d)"
pid="" loop=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/config" "$work/state" "$work/data" "$work/run" "$work/dest"
chmod 700 "$work/run"
cp "$fixtures/fat_32/fat_32.img" "$work/e2e_fat32_$run_id.img"
loop="$(losetup -r -f --show "$work/e2e_fat32_$run_id.img")"
# Folders of its own: a Salvor the same user has open is not this one's first instance.
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run"
export SALVOR_WORK_DIR="$work/log"
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
# Salvor runs one instance at a time by name: a copy under a name of its own
# keeps a Salvor that runs elsewhere on the machine from ending this one.
cp "$app" "$work/e2e-salvor"
export SALVOR_RESOURCE_DIR="$(dirname "$app")/resources"
# Its folder chooser starts at home ($work): the destination is typed by
# name (a whole path typed fast races the chooser's completion).
HOME="$work" "$work/e2e-salvor" en >"$work/out.txt" 2>&1 &
pid=$!

fail=0
die() { echo "FAIL: $*"; echo "--- program output"; tail -40 "$work/out.txt"; exit 1; }
# The geometry "WxH+X+Y" of the first Salvor window of size WxH (any size: "").
geometry() { xwininfo -root -tree | awk -v s="$1" '/"Salvor": \(/ { g = $(NF-1); if (s == "" || index(g, s "+") == 1) { print g; exit } }'; }
wait_for() { # wait_for SECONDS COMMAND...: until the command succeeds
    local n=$(( $1 * 10 )); shift
    for _ in $(seq 1 "$n"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}
has_window() { [ -n "$(geometry "$1")" ]; }
focus() { # focus SIZE: pointer and keyboard on the window of that size
    local g; g="$(geometry "$1")"
    local x y w h; w="${g%%x*}"; h="${g#*x}"; h="${h%%+*}"; x="$(echo "$g" | cut -d+ -f2)"; y="$(echo "$g" | cut -d+ -f3)"
    xdotool mousemove $((x + w / 2)) $((y + h - 4))
    local id; id="$(xwininfo -root -tree | awk -v g="$g" '/"Salvor": \(/ && $(NF-1) == g { print $1; exit }')"
    [ -n "$id" ] && xdotool windowfocus "$id" 2>/dev/null || true
    sleep 0.3
}
shot() { import -window root "$out/e2e_$1.png"; }
# pixel NAME SIZE DX DY R G B WHAT: the screenshot NAME at (DX, DY) of the window of SIZE is near R G B
pixel() {
    local g x y got; g="$(geometry "$2")"; x="$(echo "$g" | cut -d+ -f2)"; y="$(echo "$g" | cut -d+ -f3)"
    got="$(convert "$out/e2e_$1.png" -format "%[fx:int(255*p{$((x + $3)),$((y + $4))}.r)] %[fx:int(255*p{$((x + $3)),$((y + $4))}.g)] %[fx:int(255*p{$((x + $3)),$((y + $4))}.b)]" info:)"
    set -- $got "$5" "$6" "$7" "$8"
    if [ $(( ($1-$4)*($1-$4) <= 64 && ($2-$5)*($2-$5) <= 64 && ($3-$6)*($3-$6) <= 64 )) != 1 ]; then
        echo "FAIL: $7: pixel is $1 $2 $3, expected $4 $5 $6"; fail=1
    fi
}

wait_for 90 has_window 1000x640 || die "no start window"
sleep 2 # fade-in
shot filetypes
pixel filetypes 1000x640 300 11 38 41 45 "file-type page: title bar"
focus 1000x640
device_page "$work/log/recovery.log" || die "no device page"
sleep 1
shot devices
pixel devices 1000x640 300 11 38 41 45 "device page: title bar"
# Our own device, never the one preselected (a card the user attached, say).
choose_device "e2e_fat32_$run_id" "$loop" "$work/log/recovery.log" || die "not our device"
xdotool key Return
wait_for 60 has_window 1000x700 || die "no results window"
shot scanning
wait_for 120 grep -q "Scan Progress finished" "$work/out.txt" || die "the scan did not end"
sleep 3 # the trees are pulled, the root selected and expanded
shot results
pixel results 1000x700 100 400 32 36 39 "results: left pane"
focus 1000x700
# The path root is the current row of the focused tree: Space ticks it.
g="$(geometry 1000x700)"; wx="$(echo "$g" | cut -d+ -f2)"; wy="$(echo "$g" | cut -d+ -f3)"
xdotool mousemove $((wx + 120)) $((wy + 300))
xdotool key space
sleep 1.5 # the recover button slides in
shot ticked
# The recover button: centred in the progress box of the bar once the scan has ended.
xdotool mousemove $((wx + 475)) $((wy + 52)) click 1
wait_for 20 sh -c "xwininfo -root -tree | grep -q 'Choose the folder'" || die "no folder chooser"
sleep 1
chooser="$(xwininfo -root -tree | awk '/Choose the folder/ { print $1; exit }')"
xdotool windowfocus "$chooser" 2>/dev/null || true
xdotool type --delay 40 dest
sleep 0.5
xdotool key Return
wait_for 120 grep -q "Recovery finished" "$work/out.txt" || die "the recovery did not end"
wait_for 20 has_window 460x222 || die "no finished dialog"
sleep 1
shot finished
pixel finished 460x222 230 150 32 36 39 "finished dialog: body"
focus 460x222
xdotool key Return
sleep 1
has_window 460x222 && { echo "FAIL: the finished dialog did not close on Return"; fail=1; }
focus 1000x700
xdotool key ctrl+q
wait_for 30 sh -c "! kill -0 $pid 2>/dev/null" || die "Ctrl+Q did not end the program"
pid=""

# Every manifest file, live and deleted, by its sha256.
find "$work/dest" -type f -exec sha256sum {} + | cut -c1-64 | sort > "$work/got.txt"
missing=0
while read -r sum path; do
    grep -qx "$sum" "$work/got.txt" || { echo "FAIL: not recovered: $path"; missing=1; }
done < "$fixtures/fat_32/fat_32.sha256"
[ "$missing" = 0 ] || { fail=1; find "$work/dest" -type f | head -80; }
[ "$fail" = 0 ] && echo "end-to-end recovery passed: $(wc -l < "$fixtures/fat_32/fat_32.sha256") files"
exit "$fail"
