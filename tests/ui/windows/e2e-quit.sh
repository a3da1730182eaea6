#!/usr/bin/env bash
# Quitting during a recovery, end to end: app/salvor under a fresh Xvfb with
# openbox, folders of its own, driven by xdotool as a user would, over a
# 1 GiB NTFS volume made by mkntfs and filled through ntfs-3g (a file of
# 900 MiB of random bytes, read back at 48 MiB/s so as to be caught mid-write
# on a fast machine, and a few small ones), attached read-only. Each
# route starts the program anew, scans, ticks everything and recovers:
#  escape:  Ctrl+Q while the big file is written asks "Stop the recovery?";
#           Escape keeps recovering and every file ends byte-exact;
#  stop:    Ctrl+Q, then Stop: the program ends, leaving no empty file, no
#           temporary ".part" file, and nothing but whole files;
#  sigterm: SIGTERM while the big file is written: the same;
#  save-quit, save-sigterm: a FAT32 volume of 20,000 small files in 40
#           folders (mkfs.vfat, mtools) scanned and its scan saved, then
#           saved again over the same file (the replace question answered)
#           into a folder whose writes are held to a rate that makes the save
#           last some 30 s; Ctrl+Q (or SIGTERM) while it is written ends the
#           program, and the old save is left byte for byte with nothing
#           beside it;
#           (with the save's window up, Ctrl+Q first asks "Stop the
#           save?", answered Stop);
#  save-hidden-quit, save-hidden-close, save-hidden-home: the same save over
#           the old one, its progress window closed by its close button;
#           then Ctrl+Q, the results window's close button, or Home asks
#           "Stop the save?" in the program's own alert, the program staying:
#           Continue (Escape) lets the save run to its end, written whole
#           (quit), or Stop (Return) ends the program (close) or goes home
#           (home, after a Continue first), the old save left byte for byte;
#  save-twice: the same volume's scan saved as "e1" over those slowed writes,
#           its progress window closed by its close button while the save
#           goes on; a deep scan asked for meanwhile is refused by an alert,
#           and so is a second save, as "other/e2" (a volume of its own,
#           written at the same rate); each alert is the program's own
#           (titled "Salvor", dark), and "e1" is written; the refusal tells
#           how much of "e1" is written by its bytes (half of it, not the
#           time it has taken);
#  save-restart: the same save over the old one, which has a second name:
#           the new save is built elsewhere and copied over it; Ctrl+Q while
#           it is copied, answered Stop, leaves a window telling that the
#           save is still being stopped while the overwritten bytes are put
#           back; the program started again meanwhile says that it waits and
#           opens its start window once the first one has ended, which leaves
#           the old save under both names byte for byte.
# Root only (exit 77: skipped).
# Usage: e2e-quit.sh SALVOR SCREENSHOT_DIR [ROUTE...]
set -u
if [ "$(id -u)" != 0 ]; then echo "SKIP: needs root (attaches a loop device, mounts with ntfs-3g)"; exit 77; fi
for t in xvfb-run:xvfb xdotool:xdotool import:imagemagick convert:imagemagick xwininfo:x11-utils xprop:x11-utils \
         mkntfs:ntfs-3g ntfs-3g:ntfs-3g losetup:mount lsblk:util-linux blockdev:util-linux openbox:openbox \
         mkfs.ext4:e2fsprogs mkfs.vfat:dosfstools mcopy:mtools; do
    command -v "${t%%:*}" >/dev/null 2>&1 || { echo "${t%%:*} not found: install the package ${t#*:}" >&2; exit 1; }
done
[ $# -ge 2 ] || { echo "usage: $0 SALVOR SCREENSHOT_DIR [ROUTE...]" >&2; exit 2; }
if [ -z "${SALVOR_XVFB_INNER:-}" ]; then
    unset QT_QPA_PLATFORM
    export SALVOR_XVFB_INNER=1
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi
. "$(cd "$(dirname "$0")" && pwd)/e2e-lib.sh"
x_ready "$@"
app="$1"
out="$2"
shift 2
routes="${*:-escape stop sigterm save-quit save-sigterm}"
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$out"
work="$(mktemp -d)"
pid="" loop="" wm_pid="" save_loop="" saves="" fat_loop="" other_loop=""
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    unslow_reads
    [ -n "$saves" ] && mountpoint -q "$saves/other" 2>/dev/null && umount "$saves/other"
    [ -n "$saves" ] && mountpoint -q "$saves" 2>/dev/null && umount "$saves"
    [ -n "$other_loop" ] && losetup -d "$other_loop" 2>/dev/null
    [ -n "$save_loop" ] && losetup -d "$save_loop" 2>/dev/null
    [ -n "$fat_loop" ] && losetup -d "$fat_loop" 2>/dev/null
    [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null
    mountpoint -q "$work/mnt" 2>/dev/null && umount "$work/mnt"
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/src" "$work/mnt"

# The volume: random bytes, as files are on a used disk.
img="$work/e2e_quit_ntfs_$run_id.img"
truncate -s 1G "$img"
mkntfs -F -Q -L QUITNTFS "$img" >/dev/null 2>&1 || { echo "FAIL: mkntfs"; exit 1; }
head -c $((900 * 1024 * 1024)) /dev/urandom > "$work/src/BIG.BIN"
for n in 1 2 3 4; do head -c $((n * 41000)) /dev/urandom > "$work/src/FILE$n.DAT"; done
ntfs-3g "$img" "$work/mnt" || { echo "FAIL: ntfs-3g cannot mount the volume"; exit 1; }
cp "$work"/src/* "$work/mnt/" && sync && umount "$work/mnt" || { echo "FAIL: filling the volume"; exit 1; }
(cd "$work/src" && sha256sum -- * | cut -c1-64 | sort) > "$work/want.txt"
rm -f "$work/src/BIG.BIN"
loop="$(losetup -r -f --show "$img")" || exit 1
# The volume read at 48 MiB/s: the big file takes some 19 s to come back,
# long enough for the keys sent while it does.
slow_reads "$loop" $((48 * 1024 * 1024))
case " $routes " in *" save-"*)
    # The volume whose scan is saved: many files make a save of some MiB.
    mkdir -p "$work/tree"
    for d in $(seq 1 40); do
        mkdir "$work/tree/DIR$d"
        for f in $(seq 1 500); do printf 'file %d of folder %d\n' "$f" "$d" > "$work/tree/DIR$d/FILE$f.TXT"; done
    done
    truncate -s 128M "$work/e2e_quit_fat_$run_id.img"
    mkfs.vfat -F 32 -n QUITFAT "$work/e2e_quit_fat_$run_id.img" >/dev/null && mcopy -s -i "$work/e2e_quit_fat_$run_id.img" "$work"/tree/* ::/ ||
        { echo "FAIL: making the FAT32 volume"; exit 1; }
    rm -rf "$work/tree"
    fat_loop="$(losetup -r -f --show "$work/e2e_quit_fat_$run_id.img")" || exit 1
    # The saves' own volume (ext4), mounted where the program saves by
    # default: its writes, made synchronous, can be held to a rate as the
    # reads are.
    truncate -s 256M "$work/saves_$run_id.img"
    mkfs.ext4 -q -L SAVES "$work/saves_$run_id.img" || { echo "FAIL: mkfs.ext4"; exit 1; }
    save_loop="$(losetup -f --show "$work/saves_$run_id.img")" || exit 1
    case " $routes " in *" save-twice "*)
        # A second volume for the second save, its writes held apart from
        # the first's.
        truncate -s 64M "$work/other_$run_id.img"
        mkfs.ext4 -q -L OTHER "$work/other_$run_id.img" || { echo "FAIL: mkfs.ext4"; exit 1; }
        other_loop="$(losetup -f --show "$work/other_$run_id.img")" || exit 1
        ;;
    esac
    ;;
esac

export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
export SALVOR_RESOURCE_DIR="$(dirname "$app")/resources"
start_wm

fail=0
die() {
    echo "FAIL ($route): $*"; echo "--- program output"; grep -av "usb detatch\|Device Added" "$run/out.txt" | tail -30
    tr '\r' '\n' < "$run/work/recovery.log" | grep -av "usb detatch\|Device Added" | tail -20; exit 1
}
# The geometry "WxH+X+Y" of the first Salvor window of size WxH, X and Y on
# the screen (the window manager's frame holds the window).
geometry() { xwininfo -root -tree | awk -v s="$1" '/"Salvor": \(/ { g = $(NF-1); if (s == "" || index(g, s "+") == 1) { sub(/\+.*/, "", g); print g $NF; exit } }'; }
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
    local id; id="$(xwininfo -root -tree | awk -v s="$1" '/"Salvor": \(/ && index($(NF-1), s "+") == 1 { print $1; exit }')"
    [ -n "$id" ] && xdotool windowactivate "$id" 2>/dev/null
    sleep 0.3
}
shot() { import -window root "$out/quit_$1.png"; }
alive() { kill -0 "$pid" 2>/dev/null; }
recovered() { grep -c "Recovery finished" "$run/out.txt"; }
# Nothing but whole files in the destination: no empty one, no temporary
# one, and each a source file byte for byte.
only_whole_files() {
    local debris bad=0 sum
    debris="$(find "$run/dest" -type f \( -empty -o -name '*.part' -o -name '.salvor-*' \))"
    [ -z "$debris" ] || { echo "FAIL ($route): left in the destination:"; echo "$debris"; bad=1; }
    while read -r sum; do
        grep -qx "$sum" "$work/want.txt" || { echo "FAIL ($route): a file that is no source file whole (sha256 $sum)"; bad=1; }
    done < <(find "$run/dest" -type f -size +0 -exec sha256sum {} + | cut -c1-64)
    [ "$bad" = 0 ] || { find "$run/dest" -type f -exec ls -la {} + | head -20; fail=1; }
}

# scanned [NAME DEVICE]: the program anew and its scan of the volume (the
# NTFS one unless named), back on the results window.
scanned() {
    run="$work/run-$route"
    mkdir -p "$run/config" "$run/state" "$run/data" "$run/xdg" "$run/work" "$run/dest"
    chmod 700 "$run/xdg"
    XDG_CONFIG_HOME="$run/config" XDG_STATE_HOME="$run/state" XDG_DATA_HOME="$run/data" XDG_RUNTIME_DIR="$run/xdg" \
        SALVOR_WORK_DIR="$run/work" HOME="$run" slowed "$app" en >"$run/out.txt" 2>&1 &
    pid=$!
    wait_for 90 has_window 1000x640 || die "no start window"
    sleep 2 # fade-in
    focus 1000x640
    device_page "$run/work/recovery.log" || die "no device page"
    choose_device "${1:-e2e_quit_ntfs_$run_id}" "${2:-$loop}" "$run/work/recovery.log" || die "not our device"
    xdotool key Return
    wait_for 60 has_window 1000x700 || die "no results window"
    wait_for 120 grep -q "Scan Progress finished" "$run/out.txt" || die "the scan did not end"
    sleep 3 # the trees are pulled, the root selected and expanded
    focus 1000x700
}

# launch: the program anew, its scan of the volume, every file ticked, the
# recovery started; back once the big file is being written.
launch() {
    scanned
    local g; g="$(geometry 1000x700)"; wx="$(echo "$g" | cut -d+ -f2)"; wy="$(echo "$g" | cut -d+ -f3)"
    xdotool mousemove $((wx + 120)) $((wy + 300))
    xdotool key space # the path root is the focused tree's current row
    sleep 1.5 # the recover button slides in
    xdotool mousemove $((wx + 475)) $((wy + 52)) click 1
    wait_for 20 sh -c "xwininfo -root -tree | grep -q 'Choose the folder'" || die "no folder chooser"
    sleep 1
    local chooser; chooser="$(xwininfo -root -tree | awk '/Choose the folder/ { print $1; exit }')"
    xdotool windowactivate "$chooser" 2>/dev/null
    # The chooser starts at home ($run): the destination is typed by name (a
    # whole path typed fast races the chooser's completion).
    xdotool type --delay 40 dest
    sleep 0.5
    xdotool key Return
    # Ready on the progress dialog before the big file is under way.
    wait_for 60 has_window 460x192 || die "no recovery progress"
    focus 460x192
    wait_for 60 writing_big "$run/dest" || die "the big file is not being written"
}

# ask_to_quit: Ctrl+Q on the progress dialog brings up "Stop the recovery?"
# (its go-on button stands where the progress panel has none, as the escape
# route's picture after going on shows) and the program stays.
ask_to_quit() {
    xdotool key ctrl+q
    sleep 1.5
    shot "${route}_asked"
    alive || die "Ctrl+Q during the recovery ended the program without asking"
    # (280, 159): the go-on button's middle; (200, 159): the panel's background beside it.
    alike "quit_${route}_asked" 460x192 280 159 200 159 && die "no \"Stop the recovery?\" after Ctrl+Q"
    return 0
}

# export: the export button clicked on the results window.
export_clicked() {
    focus 1000x700
    local g; g="$(geometry 1000x700)"; wx="$(echo "$g" | cut -d+ -f2)"; wy="$(echo "$g" | cut -d+ -f3)"
    xdotool mousemove $((wx + 974)) $((wy + 14)) click 1
}
has_chooser() { xwininfo -root -tree | grep -q '"Save As"'; }
# shown_sizes: the sizes of the program's windows on the screen, one a line.
shown_sizes() {
    local id
    for id in $(xdotool search --onlyvisible --name '^Salvor$' 2>/dev/null); do
        xwininfo -id "$id" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'
    done
}
shown() { shown_sizes | grep -qx "$1"; }
# alert_id: the X window of a message box of the program on the screen: one
# of the role its alerts carry, or one named as the program is ("salvor",
# where its windows are named "Salvor": a box of the toolkit's own look).
alert_id() {
    local id
    for id in $(xwininfo -root -tree | awk '/\("salvor" "salvor"\)/ { print $1 }'); do
        xwininfo -id "$id" | grep -q IsViewable || continue
        if xprop -id "$id" WM_WINDOW_ROLE 2>/dev/null | grep -q '"salvorAlert"' ||
           xprop -id "$id" WM_NAME 2>/dev/null | grep -q '= "salvor"'; then
            echo "$id"
            return 0
        fi
    done
    return 1
}
has_alert() { [ -n "$(alert_id)" ]; }
# own_alert PICTURE: the alert on the screen, in the screenshot
# $out/PICTURE.png, is the program's own: its role, titled "Salvor", and
# dark as its windows are (its lower left corner darker than 80 of 255 on
# every channel; the toolkit's own box is light grey there).
own_alert() {
    local id x y h c
    id="$(alert_id)" || { echo "no alert on the screen"; return 1; }
    xprop -id "$id" WM_WINDOW_ROLE | grep -q '"salvorAlert"' || { echo "not the program's alert: $(xprop -id "$id" WM_WINDOW_ROLE)"; return 1; }
    xprop -id "$id" WM_NAME | grep -q '= "Salvor"$' || { echo "titled otherwise: $(xprop -id "$id" WM_NAME)"; return 1; }
    x="$(xwininfo -id "$id" | awk '/Absolute upper-left X/ { print $NF }')"
    y="$(xwininfo -id "$id" | awk '/Absolute upper-left Y/ { print $NF }')"
    h="$(xwininfo -id "$id" | awk '/Height:/ { print $NF }')"
    c="$(convert "$out/$1.png" -format "%[fx:int(255*p{$((x + 3)),$((y + h - 4))}.r)] %[fx:int(255*p{$((x + 3)),$((y + h - 4))}.g)] %[fx:int(255*p{$((x + 3)),$((y + h - 4))}.b)]" info:)"
    set -- $c
    [ $# = 3 ] && [ "$1" -lt 80 ] && [ "$2" -lt 80 ] && [ "$3" -lt 80 ] || { echo "not dark: $c"; return 1; }
}
# answer KEY: KEY pressed on the alert on the screen.
answer() {
    local id; id="$(alert_id)" || return 1
    xdotool windowactivate "$id" 2>/dev/null
    sleep 0.3
    xdotool key "$1"
}
# asked WHAT: after WHAT (Ctrl+Q, the close, Home), "Stop the save?" is up
# in the program's own alert, and the program and its save go on meanwhile.
asked() {
    wait_for 10 has_alert || die "$1 during a save asked nothing (the program $(alive && echo stayed || echo ended))"
    sleep 0.5
    shot "${route}_asked"
    alive || die "$1 during a save ended the program"
    local look; look="$(own_alert "quit_${route}_asked")" || die "the question after $1 is not the program's own alert: $look"
    saving || die "the save did not go on under the question"
}
# route_done NOTE: a save route's end: writes at full speed again, the
# program reaped, the saves' volume unmounted.
route_done() {
    unslow_writes "$save_loop"
    wait "$pid" 2>/dev/null
    pid=""
    echo "route $route: a save of $size bytes$1, $(find "$saves" -mindepth 1 | wc -l) file(s) in its folder"
    umount "$saves"
}
# results_at X Y: a click at (X, Y) of the results window.
results_at() {
    local g; g="$(geometry 1000x700)"
    xdotool mousemove $(( $(echo "$g" | cut -d+ -f2) + $1 )) $(( $(echo "$g" | cut -d+ -f3) + $2 )) click 1
}
# close_progress: the save's progress window closed by its close button.
close_progress() {
    local g px py
    g="$(geometry 400x152)"; px="$(echo "$g" | cut -d+ -f2)"; py="$(echo "$g" | cut -d+ -f3)"
    xdotool mousemove $((px + 19)) $((py + 11)) click 1 # its close button
    for _ in $(seq 1 50); do shown 400x152 || break; sleep 0.1; done
    shown 400x152 && die "the close button left the save progress up"
    sleep 0.5
}
# kept: the save was stopped, the old save left byte for byte, nothing beside it.
kept() {
    tr '\r' '\n' < "$run/work/recovery.log" | grep -aq "save into .* failed" ||
        die "the save was not stopped: it ended before the program did"
    cmp "$saves/scan.rsf" "$work/old.rsf" || { echo "FAIL ($route): the old save did not stay as it was"; fail=1; }
    left="$(find "$saves" -mindepth 1 ! -name scan.rsf ! -name second.rsf)"
    [ -z "$left" ] || { echo "FAIL ($route): left beside the save:"; ls -la "$saves"; fail=1; }
}
chooser_or_alert() { has_chooser || has_alert; }
# save_scan REPLACING [NAME]: the scan saved as NAME ("scan") through the
# export button and the save chooser (which opens in $saves), the replace
# question answered when REPLACING is 1; back once the save has begun.
save_scan() {
    local before; before="$(grep -ac "Call Logic code save file" "$run/work/recovery.log")"
    export_clicked
    wait_for 20 has_chooser || die "no save chooser"
    chosen "$@"
    wait_for 30 sh -c "[ \$(grep -ac 'Call Logic code save file' '$run/work/recovery.log') -gt $before ]" || die "the save did not begin"
}
# chosen REPLACING [NAME]: NAME typed into the save chooser and taken.
chosen() {
    sleep 1
    local chooser; chooser="$(xwininfo -root -tree | awk '/"Save As"/ { print $1; exit }')"
    xdotool windowactivate "$chooser" 2>/dev/null
    sleep 0.3
    xdotool type --delay 40 "${2:-scan}" # over the proposed name, which is selected
    sleep 0.5
    xdotool key Return
    if [ "$1" = 1 ]; then
        wait_for 10 sh -c "[ \$(xwininfo -root -tree | grep -c '\"Save As\"') -ge 2 ]" || die "no question before replacing the save"
        sleep 0.5
        shot "${route}_replace"
        xdotool key alt+y
    fi
}
# saved: every save begun has ended and its progress is gone.
saved() {
    [ "$(grep -ac 'Static_SaveScanResult [0-9]* end' "$run/work/recovery.log")" = \
      "$(grep -ac 'Call Logic code save file' "$run/work/recovery.log")" ] && ! has_window 400x152
}
# saving: the save under way in $saves, beside or over the old one: a file
# there other than scan.rsf with bytes in it, or scan.rsf no longer the old.
saving() {
    [ -n "$(find "$saves" -mindepth 1 ! -name scan.rsf -size +0 | head -1)" ] || ! cmp -s "$saves/scan.rsf" "$work/old.rsf"
}

for route in $routes; do
    case "$route" in
    escape)
        launch
        ask_to_quit
        xdotool key Escape
        sleep 0.4
        shot escape_resumed
        alive || die "Escape on the question ended the program"
        alike quit_escape_resumed 460x192 280 159 200 159 || die "Escape did not bring the progress back"
        wait_for 180 grep -q "Recovery finished" "$run/out.txt" || die "the recovery did not go on to its end"
        wait_for 20 has_window 460x222 || die "no finished dialog"
        find "$run/dest" -type f -exec sha256sum {} + | cut -c1-64 | sort > "$run/got.txt"
        while read -r sum; do
            grep -qx "$sum" "$run/got.txt" || { echo "FAIL (escape): a file did not come back whole (sha256 $sum)"; fail=1; }
        done < "$work/want.txt"
        only_whole_files
        focus 460x222
        xdotool key Return
        sleep 1
        focus 1000x700
        xdotool key ctrl+q
        wait_for 30 sh -c "! kill -0 $pid 2>/dev/null" || die "Ctrl+Q after the recovery did not end the program"
        ;;
    stop)
        launch
        ask_to_quit
        g="$(geometry 460x192)"; dx="$(echo "$g" | cut -d+ -f2)"; dy="$(echo "$g" | cut -d+ -f3)"
        xdotool mousemove $((dx + 390)) $((dy + 159)) click 1 # Stop
        wait_for 60 sh -c "! kill -0 $pid 2>/dev/null" || die "Stop on the quit's question did not end the program"
        only_whole_files
        ;;
    sigterm)
        launch
        kill -TERM "$pid"
        wait_for 60 sh -c "! kill -0 $pid 2>/dev/null" || die "SIGTERM did not end the program"
        only_whole_files
        ;;
    save-quit|save-sigterm|save-twice|save-hidden-quit|save-hidden-close|save-hidden-home|save-restart)
        saves="$work/run-$route/data/salvor/SaveScan" # the program's default place for saves
        mkdir -p "$saves"
        mount "$save_loop" "$saves" || die "cannot mount the saves' volume"
        rm -rf "$saves"/* "$saves"/.[!.]*
        scanned "e2e_quit_fat_$run_id" "$fat_loop"
        # The first save, made again while it holds less than the 20,000
        # files (some 2 MiB): the tree may still be filling after the scan.
        for try in $(seq 1 10); do
            save_scan "$(( try > 1 ))"
            wait_for 120 saved || die "the first save did not end"
            sleep 1
            size="$(stat -c %s "$saves/scan.rsf")"
            [ "$size" -lt $((1024 * 1024)) ] || break
            sleep 2
        done
        [ "$size" -ge $((1024 * 1024)) ] || die "the scan's save stays at $size bytes: the files are not in it"
        cp "$saves/scan.rsf" "$work/old.rsf"
        # The second save written at a rate that makes it last some 30 s
        # however fast the machine: its records go out in pieces of 1 MiB,
        # each taking some 13 s, and a stop is seen between two pieces.
        mount -o remount,sync "$saves" || die "cannot make the saves' writes synchronous"
        slow_writes "$save_loop" $(( size / 30 > 4096 ? size / 30 : 4096 )) || die "cannot slow the writes of the saves' volume"
        if [ "$route" = save-twice ]; then
            rm -f "$saves/scan.rsf"
            # The second save goes to its own volume, written at the same
            # rate: when the first ends it is still writing.
            mkdir "$saves/other"
            mount -o sync "$other_loop" "$saves/other" || die "cannot mount the second save's volume"
            slow_writes "$other_loop" $(( size / 30 > 4096 ? size / 30 : 4096 )) || die "cannot slow the writes of the second volume"
            save_scan 0 e1
            wait_for 10 has_window 400x152 || die "no save progress"
            sleep 1
            shot save-twice_first
            close_progress
            shot save-twice_closed
            # The second asked for once the first is half written: the first
            # then ends while the second is still writing.
            wait_for 60 sh -c "find '$saves' -name '.e1.rsf.*.part' -size +1023k | grep -q ." ||
                die "the first save was not seen half written"
            [ -e "$saves/e1.rsf" ] && die "the first save ended before the second was asked for ($size bytes)"
            # A deep scan meanwhile is refused as the save is.
            focus 1000x700
            results_at 126 43 # Deep Scan
            wait_for 10 has_alert || die "a deep scan started during a save was not refused"
            sleep 0.5
            shot save-twice_scan_refused
            look="$(own_alert quit_save-twice_scan_refused)" || die "the refusal of the scan is not the program's own alert: $look"
            # Half of e1 or more was written when it was asked for: the
            # refusal says so (a tenth less for what was written meanwhile).
            told="$(tr '\r' '\n' < "$run/work/recovery.log" | grep -ao "refused: a save is still running ([0-9]*%)" | tail -1 | tr -dc 0-9)"
            [ -n "$told" ] && [ "$told" -ge $(( 1024 * 1024 * 100 / size - 10 )) ] ||
                { echo "FAIL ($route): the refusal says ${told:-nothing}% of e1 is written; 1 MiB of some $size bytes was"; fail=1; }
            answer Return
            for _ in $(seq 1 50); do has_alert || break; sleep 0.1; done
            has_alert && die "the refusal stayed up after Return"
            export_clicked
            wait_for 20 chooser_or_alert || die "neither a save chooser nor an alert after the second export"
            alerted=0
            if has_alert; then
                alerted=1
                shot save-twice_alert
                look="$(own_alert quit_save-twice_alert)" || die "the refusal of the save is not the program's own alert: $look"
                tr '\r' '\n' < "$run/work/recovery.log" | grep -aq "refused: a save is still running ([0-9]*%)" ||
                    die "the refusal does not tell how far the save is"
                answer Return
            else
                chosen 0 other/e2
            fi
            # Every save begun has ended; an alert on the way is seen and
            # answered.
            for _ in $(seq 1 1800); do
                if has_alert; then
                    [ "$alerted" = 1 ] || shot save-twice_alert
                    alerted=1
                    xdotool key Return
                fi
                saved && break
                sleep 0.1
            done
            saved || die "the saves did not end"
            sleep 1
            has_alert && alerted=1
            shot save-twice_end
            [ -s "$saves/e1.rsf" ] || { echo "FAIL ($route): the first save, its window closed, was not written"; fail=1; }
            [ -s "$saves/other/e2.rsf" ] || [ "$alerted" = 1 ] ||
                { echo "FAIL ($route): the second save wrote no file and no alert told it"; ls -la "$saves"; fail=1; }
            left="$(find "$saves" -mindepth 1 -name '*.part')"
            [ -z "$left" ] || { echo "FAIL ($route): left beside the saves:"; ls -la "$saves"; fail=1; }
            unslow_writes "$save_loop"
            unslow_writes "$other_loop"
            focus 1000x700
            xdotool key ctrl+q
            wait_for 60 sh -c "! kill -0 $pid 2>/dev/null" || die "Ctrl+Q after the saves did not end the program"
            wait "$pid" 2>/dev/null
            pid=""
            tr '\r' '\n' < "$run/work/recovery.log" | grep -aE "Call Logic|SaveScanResult .* end|refused" | cut -c1-120
            echo "route $route: a save of $size bytes, told ${told:-?}% written when 1 MiB was; e2 $( [ -s "$saves/other/e2.rsf" ] && echo written || echo "not written" ), alert $alerted"
            umount "$saves/other" "$saves"
            continue
        fi
        if [ "$route" = save-restart ]; then
            # The old save made to differ from the new one in every byte (the
            # same scan would write it again as it is: nothing to see or put back).
            tr '\000-\377' '\001-\377\000' < "$work/old.rsf" > "$work/shifted.rsf"
            cat "$work/shifted.rsf" > "$saves/scan.rsf"
            cp "$work/shifted.rsf" "$work/old.rsf"
            ln "$saves/scan.rsf" "$saves/second.rsf"
            save_scan 1
            wait_for 10 has_window 400x152 || die "no save progress"
            # Built elsewhere, then copied over the old save: some seconds of
            # that copy, to be put back once stopped.
            wait_for 180 sh -c "! cmp -s '$saves/scan.rsf' '$work/old.rsf'" || die "the copy over the old save was not caught"
            sleep 10
            alive && has_window 400x152 || die "the save ended before it was stopped ($size bytes)"
            focus 400x152
            xdotool key ctrl+q
            asked Ctrl+Q
            answer Return # Stop
            sleep 2
            shot "${route}_stopping"
            alive || die "the program ended at once (the save was not being put back?)"
            shown 400x152 || { echo "FAIL ($route): no window tells that the stopped save is still being ended"; fail=1; }
            cmp -s "$saves/scan.rsf" "$work/old.rsf" && die "the old save was back at once: nothing to wait for"
            # Started again while the first one ends.
            mkdir -p "$run/work2"
            XDG_CONFIG_HOME="$run/config" XDG_STATE_HOME="$run/state" XDG_DATA_HOME="$run/data" XDG_RUNTIME_DIR="$run/xdg" \
                SALVOR_WORK_DIR="$run/work2" HOME="$run" "$app" en >"$run/second.txt" 2>&1 &
            second=$!
            sleep 3
            shot "${route}_second"
            if ! kill -0 "$second" 2>/dev/null; then
                status=0; wait "$second" || status=$?
                echo "FAIL ($route): started again while the first one ended its save, it left at once (status $status) without a word"
                fail=1
            else
                tr '\r' '\n' < "$run/work2/recovery.log" | grep -aq "still ending its save: waiting" ||
                    { echo "FAIL ($route): the second start does not say that it waits"; fail=1; }
                [ "$(shown_sizes | grep -c 400x152)" -ge 1 ] || { echo "FAIL ($route): no window tells the wait"; fail=1; }
            fi
            wait_for 180 sh -c "! kill -0 $pid 2>/dev/null" || die "the first program did not end"
            kept
            cmp -s "$saves/second.rsf" "$work/old.rsf" || { echo "FAIL ($route): the old save's second name changed"; fail=1; }
            pid="$second"
            if kill -0 "$second" 2>/dev/null; then
                wait_for 60 has_window 1000x640 || die "the second start opened no window once the first had ended"
                focus 1000x640
                xdotool key ctrl+q
                wait_for 30 sh -c "! kill -0 $second 2>/dev/null" || die "Ctrl+Q did not end the second start"
            fi
            rm -f "$saves/second.rsf"
            route_done " (second name; second start $(grep -ac 'this one starts' "$run/work2/recovery.log" 2>/dev/null || echo 0) time(s) opened)"
            continue
        fi
        save_scan 1
        wait_for 30 saving || die "the save over the old one was not caught while written"
        case "$route" in save-hidden-*)
            wait_for 10 has_window 400x152 || die "no save progress"
            close_progress
            focus 1000x700
            saving || die "the save ended before it was left: it was not caught while written ($size bytes)"
            case "$route" in
            save-hidden-quit)
                xdotool key ctrl+q
                asked Ctrl+Q
                answer Escape # Continue
                ;;
            save-hidden-close)
                results_at 21 10 # the window's close button
                asked "the close"
                answer Return # Stop
                ;;
            save-hidden-home)
                results_at 40 43 # Home
                asked Home
                answer Escape # Continue
                sleep 1
                alive && has_window 1000x700 || die "Continue on the question left the results"
                saving || die "the save did not go on after Continue"
                focus 1000x700
                results_at 40 43
                asked "Home again"
                answer Return # Stop
                ;;
            esac
            if [ "$route" = save-hidden-quit ]; then
                sleep 1
                alive || die "Continue on the question ended the program"
                wait_for 120 saved || die "the save did not go on to its end"
                tr '\r' '\n' < "$run/work/recovery.log" | grep -aq "save into .* failed" && die "the save went on but failed"
                [ "$(stat -c %s "$saves/scan.rsf")" = "$size" ] ||
                    { echo "FAIL ($route): the save is not whole: $(stat -c %s "$saves/scan.rsf") of $size bytes"; fail=1; }
                left="$(find "$saves" -mindepth 1 ! -name scan.rsf)"
                [ -z "$left" ] || { echo "FAIL ($route): left beside the save:"; ls -la "$saves"; fail=1; }
                # No save any more: Ctrl+Q ends the program without a question.
                focus 1000x700
                xdotool key ctrl+q
                wait_for 30 sh -c "! kill -0 $pid 2>/dev/null" || die "Ctrl+Q after the save did not end the program"
            elif [ "$route" = save-hidden-home ]; then
                wait_for 120 has_window 1000x640 || die "Stop on the question did not go home"
                sleep 1.5 # the save's end has been told
                has_alert && { shot "${route}_home"; die "the save the user stopped was told as a failure"; }
                kept
                focus 1000x640
                xdotool key ctrl+q
                wait_for 30 sh -c "! kill -0 $pid 2>/dev/null" || die "Ctrl+Q at home did not end the program"
            else
                wait_for 120 sh -c "! kill -0 $pid 2>/dev/null" || die "Stop on the question did not end the program"
                kept
            fi
            route_done ""
            continue
            ;;
        esac
        if [ "$route" = save-quit ]; then
            wait_for 10 has_window 400x152 || die "no save progress"
            focus 400x152
            shot "${route}_saving"
            saving || die "the save ended before Ctrl+Q: it was not caught while written ($size bytes)"
            xdotool key ctrl+q
            asked Ctrl+Q
            answer Return # Stop
        else
            saving || die "the save ended before SIGTERM: it was not caught while written ($size bytes)"
            kill -TERM "$pid"
        fi
        wait_for 120 sh -c "! kill -0 $pid 2>/dev/null" || die "the program did not end during the save"
        kept
        route_done " (first saved $try time(s))"
        continue
        ;;
    *) echo "unknown route $route" >&2; exit 2 ;;
    esac
    wait "$pid" 2>/dev/null
    pid=""
    echo "route $route: $(find "$run/dest" -type f | wc -l) files in the destination"
    rm -rf "$run/dest"
done
[ "$fail" = 0 ] && echo "end-to-end quit passed: $routes"
exit "$fail"
