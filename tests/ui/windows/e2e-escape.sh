#!/usr/bin/env bash
# Escape never writes, end to end: app/salvor under a fresh Xvfb with folders
# of its own, driven by xdotool as a user would, over an exFAT volume made by
# mkfs.exfat on a loop device and filled through exfat-fuse (files of random
# bytes, one of 384 MiB read back at 24 MiB/s so that a recovery lasts),
# left mounted:
#  0. the same-device warning (destination: the mounted volume itself)
#     dismissed with Escape, then the chooser it brings back: the volume's
#     bytes and files are as before;
#  1. the free-space warning (destination: a 1 MiB tmpfs) dismissed with
#     Escape: nothing is written there and no recovery starts;
#  2. a recovery stopped with Escape on the progress and Escape on "Stop the
#     recovery?": the stopped dialog comes with its counts, no empty file and
#     no ".part" file stays in the destination;
#  3. the mid-run "Not enough free space" panel (a 64 MiB tmpfs, the
#     warning before answered "Recover Anyway") dismissed with Escape: the
#     same clean stop;
#  4. the next Recover writes every file byte-exact.
# Root only (exit 77: skipped).
# Usage: e2e-escape.sh SALVOR SCREENSHOT_DIR
set -u
if [ "$(id -u)" != 0 ]; then echo "SKIP: needs root (attaches a loop device, mounts a tmpfs)"; exit 77; fi
for t in xvfb-run:xvfb xdotool:xdotool import:imagemagick xwininfo:x11-utils mkfs.exfat:exfatprogs mount.exfat-fuse:exfat-fuse losetup:mount lsblk:util-linux blockdev:util-linux convert:imagemagick; do
    command -v "${t%%:*}" >/dev/null 2>&1 || { echo "${t%%:*} not found: install the package ${t#*:}" >&2; exit 1; }
done
[ $# -ge 2 ] || { echo "usage: $0 SALVOR SCREENSHOT_DIR" >&2; exit 2; }
if [ -z "${SALVOR_XVFB_INNER:-}" ]; then
    unset QT_QPA_PLATFORM
    export SALVOR_XVFB_INNER=1
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi
app="$1"
out="$2"
. "$(cd "$(dirname "$0")" && pwd)/e2e-lib.sh"
x_ready "$@"
mkdir -p "$out"
work="$(mktemp -d)"
pid=""
loop=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    unslow_reads
    mountpoint -q "$work/mnt" 2>/dev/null && umount "$work/mnt"
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
    mountpoint -q "$work/small" 2>/dev/null && umount "$work/small"
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/config" "$work/state" "$work/data" "$work/run" "$work/src" "$work/small" "$work/dest" "$work/again" "$work/mnt"
chmod 700 "$work/run"

# The volume: random bytes, as files are on a used card.
img="$work/e2e_escape_$run_id.img"
truncate -s 450M "$img"
loop="$(losetup -f --show "$img")" || exit 1
mkfs.exfat -L ESCAPE "$loop" >/dev/null || exit 1
mount.exfat-fuse -o noatime "$loop" "$work/mnt" >/dev/null 2>&1 || { echo "FAIL: exfat-fuse cannot mount $loop"; exit 1; }
head -c $((384 * 1024 * 1024)) /dev/urandom > "$work/src/BIG.BIN"
for n in 1 2 3 4 5; do head -c $((n * 37000)) /dev/urandom > "$work/src/FILE$n.DAT"; done
cp "$work"/src/* "$work/mnt/" || exit 1
# The user has deleted them from the mounted card: a quick scan of a mounted
# volume lists what was deleted (its live files can be copied as they are).
sync "$work"/mnt/* && rm "$work"/mnt/* && sync
(cd "$work/src" && sha256sum -- * | cut -c1-64 | sort) > "$work/want.txt"
mount -t tmpfs -o size=1m tmpfs "$work/small" || exit 1
# volume_state FILE: the volume's bytes and file list, into FILE. Reading the
# whole device fills the page cache; it is dropped after, so that the
# program still reads the device at the rate slow_reads sets.
volume_state() { sync; { sha256sum < "$loop"; find "$work/mnt" | sort; } > "$1"; blockdev --flushbufs "$loop"; }
volume_state "$work/volume_before.txt"
# The volume read at 24 MiB/s: the big file takes some 16 s to come back,
# long enough for Escape to find the recovery under way.
slow_reads "$loop" $((24 * 1024 * 1024))

export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run"
export SALVOR_WORK_DIR="$work/log"
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
export SALVOR_RESOURCE_DIR="$(dirname "$app")/resources"
# Its folder chooser starts in the home folder: the destinations are typed
# there by name, as a user picks a folder beside the ones shown. (A whole
# path typed fast races the chooser's own completion, which now and then
# kept a shorter path than the one typed.)
HOME="$work" slowed "$app" en >"$work/out.txt" 2>&1 &
pid=$!

fail=0
die() { echo "FAIL: $*"; echo "--- program output"; tail -40 "$work/out.txt"; exit 1; }
# window SIZE: the id and geometry "WxH+X+Y" of the first Salvor window of
# that size on the screen (a window is listed before it is shown and after
# it is hidden; keys sent to it then are lost).
window() {
    xwininfo -root -tree | awk -v s="$1" '/"Salvor": \(/ { g = $(NF-1); if (s == "" || index(g, s "+") == 1) print $1, g }' |
        while read -r id g; do
            xwininfo -id "$id" 2>/dev/null | grep -q IsViewable && { echo "$id $g"; break; }
        done
}
geometry() { window "$1" | cut -d' ' -f2; }
wait_for() {
    local n=$(( $1 * 10 )); shift
    for _ in $(seq 1 "$n"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}
has_window() { [ -n "$(geometry "$1")" ]; }
# focus SIZE: pointer and keyboard on the window of that size.
focus() {
    local g id n
    for n in $(seq 1 50); do
        read -r id g < <(window "$1")
        if [ -n "$id" ]; then
            local x y w h; w="${g%%x*}"; h="${g#*x}"; h="${h%%+*}"; x="$(echo "$g" | cut -d+ -f2)"; y="$(echo "$g" | cut -d+ -f3)"
            xdotool mousemove $((x + w / 2)) $((y + h - 4))
            xdotool windowfocus "$id" 2>/dev/null
            [ "$(xdotool getwindowfocus 2>/dev/null)" = "$((id))" ] && { sleep 0.3; return 0; }
        fi
        sleep 0.1
    done
    echo "note: could not focus the window $1"
    sleep 0.3
}
# shows NAME SIZE X1 Y1 X2 Y2: within 10 s, a screenshot NAME where the window
# of SIZE has a control at (X1, Y1) unlike the background at (X2, Y2).
shows() {
    local n
    for n in $(seq 1 20); do
        shot "$1"
        alike "escape_$1" "${@:2}"
        [ $? = 1 ] && return 0
        sleep 0.5
    done
    return 1
}
# focus_chooser: keyboard on the folder chooser, once it is on the screen.
focus_chooser() {
    local id n
    for n in $(seq 1 100); do
        id="$(xwininfo -root -tree | awk '/Choose the folder/ { print $1 }' | while read -r w; do
            xwininfo -id "$w" 2>/dev/null | grep -q IsViewable && { echo "$w"; break; }; done)"
        if [ -n "$id" ]; then
            xdotool windowfocus "$id" 2>/dev/null
            [ "$(xdotool getwindowfocus 2>/dev/null)" = "$((id))" ] && { sleep 0.5; return 0; }
        fi
        sleep 0.1
    done
    return 1
}
shot() { import -window root "$out/escape_$1.png"; }
count() { grep -c "$1" "$work/out.txt"; }
choose() { # choose NAME: the recover button, then NAME (a folder in $work) typed into the chooser
    xdotool mousemove $((wx + 475)) $((wy + 52)) click 1
    focus_chooser || die "no folder chooser"
    xdotool type --delay 40 "$1"
    sleep 0.5
    xdotool key Return
}

wait_for 90 has_window 1000x640 || die "no start window"
sleep 2
focus 1000x640
device_page "$work/log/recovery.log" || die "no device page"
# Our own device, never the one preselected (a card the user attached, say).
choose_device "e2e_escape_$run_id" "$loop" "$work/log/recovery.log" || die "not our device"
xdotool key Return
wait_for 60 has_window 1000x700 || die "no results window"
wait_for 120 grep -q "Scan Progress finished" "$work/out.txt" || die "the scan did not end"
sleep 3
focus 1000x700
g="$(geometry 1000x700)"; wx="$(echo "$g" | cut -d+ -f2)"; wy="$(echo "$g" | cut -d+ -f3)"
# The path root is the current row of the focused tree: Space ticks it.
xdotool mousemove $((wx + 120)) $((wy + 300))
xdotool key space
sleep 1.5

# 0. The scanned volume as destination: Escape on the warning writes nothing
# (its answer is to choose again: the chooser, dismissed too).
choose mnt
sleep 2
shot same_device_warning
xdotool key Escape
focus_chooser || die "no chooser after Escape on the same-device warning"
xdotool key Escape
sleep 2
volume_state "$work/volume_after.txt"
cmp -s "$work/volume_before.txt" "$work/volume_after.txt" || { echo "FAIL: the scanned volume changed after Escape on the same-device warning"; diff "$work/volume_before.txt" "$work/volume_after.txt" | head; fail=1; }
[ "$(count 'Recovery finished')" = 0 ] || { echo "FAIL: a recovery ran after Escape on the same-device warning"; fail=1; }

# 1. Not enough room: Escape on the warning writes nothing.
choose small
sleep 2
shot free_space_warning
xdotool key Escape
sleep 2
shot free_space_dismissed
[ -z "$(find "$work/small" -mindepth 1 | head -1)" ] || { echo "FAIL: Escape on the free-space warning wrote into the destination"; find "$work/small"; fail=1; }
[ "$(count 'Recovery finished')" = 0 ] || { echo "FAIL: a recovery ran after Escape on the free-space warning"; fail=1; }

# 2. Escape on the progress asks; Escape on the question stops.
choose dest
wait_for 30 has_window 460x192 || die "no recovery progress"
wait_for 60 writing_big "$work/dest" || die "the big file is not being written"
focus 460x192
xdotool key Escape
# (280, 159): the go-on button's middle; (200, 159): the panel's background beside it.
shows stop_question 460x192 280 159 200 159 || die "no \"Stop the recovery?\" after Escape on the progress"
xdotool key Escape
wait_for 60 grep -q "recovery stopped:" "$work/out.txt" || die "no stopped dialog after Escape on the question"
sleep 1
shot stopped
line="$(grep "recovery stopped:" "$work/out.txt" | tail -1)"
echo "$line"
echo "$line" | grep -Eq "recovery stopped: [0-9]+ files recovered, [1-9][0-9]* not" || { echo "FAIL: the stopped dialog's counts: $line"; fail=1; }
debris="$(find "$work/dest" -type f \( -empty -o -name '*.part' -o -name '.salvor-*' \))"
[ -z "$debris" ] || { echo "FAIL: left in the destination:"; echo "$debris"; fail=1; }
focus 460x192
xdotool key Return
sleep 1

# 3. Room for the small files only: past the warning, the out-of-space panel
# dismissed with Escape stops as cleanly.
umount "$work/small"
mount -t tmpfs -o size=64m tmpfs "$work/small" || die "no 64 MiB tmpfs"
choose small
sleep 2
xdotool key Tab space # from "Cancel" to "Recover Anyway"
wait_for 30 has_window 460x192 || die "no recovery progress past the warning"
focus 460x192
# (265, 159): the go-on button's middle, where the progress has background.
shows out_of_space 460x192 265 159 150 159 || die "no out-of-space panel"
xdotool key Escape
wait_for 60 sh -c "[ \"\$(grep -c 'recovery stopped:' '$work/out.txt')\" -ge 2 ]" || die "no stopped dialog after Escape on the out-of-space panel"
sleep 1
shot out_of_space_stopped
debris="$(find "$work/small" -type f \( -empty -o -name '*.part' -o -name '.salvor-*' \))"
[ -z "$debris" ] || { echo "FAIL: left in the full destination:"; echo "$debris"; fail=1; }
find "$work/small" -name BIG.BIN | grep -q . && { echo "FAIL: the file that could not fit is there"; fail=1; }
focus 460x192
xdotool key Return
sleep 1

# 4. The next Recover writes every file whole.
choose again
# Each run prints its end, the stopped ones too: this is the third.
wait_for 180 sh -c "[ \"\$(grep -c 'Recovery finished' '$work/out.txt')\" -ge 3 ]" || die "the last recovery did not end"
wait_for 20 has_window 460x222 || die "no finished dialog"
shot finished
focus 460x222
xdotool key Return
sleep 1
find "$work/again" -type f -exec sha256sum {} + | cut -c1-64 | sort > "$work/got.txt"
diff -q "$work/want.txt" "$work/got.txt" >/dev/null || { echo "FAIL: the second recovery differs from the files on the volume"; diff "$work/want.txt" "$work/got.txt" | head; find "$work/again" -type f | head; fail=1; }
focus 1000x700
xdotool key ctrl+q
wait_for 30 sh -c "! kill -0 $pid 2>/dev/null" || die "Ctrl+Q did not end the program"
pid=""
[ "$fail" = 0 ] && echo "end-to-end escape passed: nothing written on Escape, clean stops, then $(wc -l < "$work/want.txt") files byte-exact"
exit "$fail"
