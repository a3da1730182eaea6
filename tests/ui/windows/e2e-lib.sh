# Shared by the end-to-end window tests (sourced): a window manager on the
# Xvfb display, and the device page's choice of the test's own device.

# run_id: a stem of this run's own for the images a test attaches. The
# device page lists a loop device by its file's name, and other runs (of the
# same test too) attach theirs meanwhile; fixed width, so that no run's name
# begins another's.
run_id="$(printf '%07d' "$$")"

# start_wm: openbox on $DISPLAY, as a user's desktop has a window manager
# (focus, stacking, the close button's path). Sets wm_pid.
start_wm() {
    command -v openbox >/dev/null 2>&1 || { echo "openbox not found: install the package openbox" >&2; exit 1; }
    openbox --sm-disable >/dev/null 2>&1 &
    wm_pid=$!
    local n
    for n in $(seq 1 50); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && return 0
        sleep 0.1
    done
    echo "FAIL: openbox did not start on $DISPLAY"
    exit 1
}

# device_page LOG: Return on the file-type page (its window focused) until
# the program's log (LOG) says the device list was asked for: a key sent
# before the window has the focus is lost on a bare X server. Then waits for
# the device page's first choice (the list may come late on a loaded
# machine, other devices coming and going).
device_page() {
    local n
    for n in $(seq 1 5); do
        xdotool key Return
        for _ in $(seq 1 30); do
            grep -aq 'device list asked for' "$1" 2>/dev/null && break 2
            sleep 0.1
        done
    done
    for n in $(seq 1 600); do
        tr '\r' '\n' < "$1" 2>/dev/null | grep -aq 'device chosen: ' && return 0
        sleep 0.1
    done
    echo "FAIL: the device page did not list the devices"
    return 1
}

# choose_device NAME DEVICE LOG: types NAME on the device page until the
# program's log (LOG) says the row chosen is NAME's (the device may be listed
# late on a loaded machine); fails naming DEVICE otherwise. Another device
# chosen in its place (an attached card, say) is never scanned.
choose_device() {
    local name="$1" device="$2" log="$3" last="" n
    echo "preselected: $(tr '\r' '\n' < "$log" 2>/dev/null | grep -a -o 'device chosen: .*' | tail -1)"
    for n in $(seq 1 15); do
        xdotool type --delay 80 "$name"
        sleep 1
        last="$(tr '\r' '\n' < "$log" 2>/dev/null | grep -a -o 'device chosen: .*' | tail -1)"
        case "$last" in *"$name"*) echo "$last"; return 0 ;; esac
        sleep 1
    done
    echo "FAIL: the device page never chose $name ($device); last chosen: ${last#device chosen: }"
    return 1
}

# chosen_is NAME LOG: the row chosen last is still NAME's.
chosen_is() {
    tr '\r' '\n' < "$2" | grep -a -o 'device chosen: .*' | tail -1 | grep -qF "$1"
}

# slow_reads DEVICE BYTES_PER_SECOND: reads of DEVICE by the processes run
# through `slowed` are held to that rate, so that a recovery lasts long
# enough for the keys a test sends while it runs (with the device in the
# page cache, 384 MiB are recovered in a second). The device's own cache is
# dropped. Sets slow_cgroup; undo with unslow_reads once those processes
# have ended. Where no cgroup can be made, says so and reads run at full
# speed.
slow_reads() {
    local mm; mm="$(lsblk -ndo MAJ:MIN "$1" | tr -d ' ')"
    slow_cgroup=""
    if [ -d /sys/fs/cgroup/blkio ]; then
        slow_cgroup="/sys/fs/cgroup/blkio/salvor-e2e-$$"
        { mkdir -p "$slow_cgroup" && echo "$mm $2" > "$slow_cgroup/blkio.throttle.read_bps_device"; } 2>/dev/null || unslow_reads
    elif grep -qw io /sys/fs/cgroup/cgroup.controllers 2>/dev/null; then
        slow_cgroup="/sys/fs/cgroup/salvor-e2e-$$"
        echo "+io" > /sys/fs/cgroup/cgroup.subtree_control 2>/dev/null
        { mkdir -p "$slow_cgroup" && echo "$mm rbps=$2" > "$slow_cgroup/io.max"; } 2>/dev/null || unslow_reads
    fi
    [ -n "$slow_cgroup" ] || echo "note: no blkio or io cgroup here to slow the reads of $1: they run at full speed"
    sync
    blockdev --flushbufs "$1"
}
# slowed COMMAND [ARGS...] &: COMMAND in the cgroup of slow_reads. Run in the
# background, the shell that runs it becomes COMMAND, so $! is COMMAND's own
# process (for kill -TERM and kill -0).
slowed() {
    [ -z "${slow_cgroup:-}" ] || echo "$BASHPID" > "$slow_cgroup/cgroup.procs" || exit 1
    exec "$@"
}
# slow_writes DEVICE BYTES_PER_SECOND: writes to DEVICE by the processes run
# through `slowed` held to that rate (a file system on DEVICE mounted with
# "sync" writes through at once, and so at that rate). Needs the cgroup of
# slow_reads; fails without one.
slow_writes() {
    local mm; mm="$(lsblk -ndo MAJ:MIN "$1" | tr -d ' ')"
    [ -n "${slow_cgroup:-}" ] || return 1
    if [ -f "$slow_cgroup/blkio.throttle.write_bps_device" ]; then
        echo "$mm $2" > "$slow_cgroup/blkio.throttle.write_bps_device"
    else
        echo "$mm wbps=$2" > "$slow_cgroup/io.max"
    fi
}
# unslow_writes DEVICE: its writes at full speed again.
unslow_writes() {
    if [ -f "${slow_cgroup:-}/io.max" ]; then slow_writes "$1" max; else slow_writes "$1" 0; fi 2>/dev/null
}
unslow_reads() {
    local n
    [ -n "${slow_cgroup:-}" ] || return 0
    for n in $(seq 1 50); do
        [ -d "$slow_cgroup" ] || break
        rmdir "$slow_cgroup" 2>/dev/null || sleep 0.2
    done
    slow_cgroup=""
}

# alike PICTURE SIZE X1 Y1 X2 Y2: in the screenshot $out/PICTURE.png, the
# window of SIZE (as the test's own `geometry` places it) has, within 8 per
# channel, one colour at (X1, Y1) and at (X2, Y2). Status 2: no window or
# no picture to read.
alike() {
    local g x y; g="$(geometry "$2")"; x="$(echo "$g" | cut -d+ -f2)"; y="$(echo "$g" | cut -d+ -f3)"
    [ -n "$x" ] && [ -n "$y" ] || return 2
    rgb() { convert "$out/$1.png" -format "%[fx:int(255*p{$2,$3}.r)] %[fx:int(255*p{$2,$3}.g)] %[fx:int(255*p{$2,$3}.b)]" info:; }
    set -- $(rgb "$1" $((x + $3)) $((y + $4))) $(rgb "$1" $((x + $5)) $((y + $6)))
    [ $# = 6 ] || return 2
    [ $(( ($1-$4)*($1-$4) <= 64 && ($2-$5)*($2-$5) <= 64 && ($3-$6)*($3-$6) <= 64 )) = 1 ]
}
# writing_big DIR: the big file is being written into DIR (its temporary
# file holds 8 MiB or more).
writing_big() { [ -n "$(find "$1" -name '.salvor-*.part' -size +8M | head -1)" ]; }

# x_ready ARGS...: waits until the Xvfb server xvfb-run started answers three
# times running. A server that stops answering (seen once under a full test
# run, right after the previous window test's server had gone) is left: the
# script runs once more under a fresh xvfb-run, with the same ARGS.
x_ready() {
    local n ok=0
    for n in $(seq 1 100); do
        if xwininfo -root >/dev/null 2>&1; then
            ok=$((ok + 1))
            [ "$ok" -ge 3 ] && return 0
        else
            ok=0
        fi
        sleep 0.1
    done
    if [ -z "${SALVOR_XVFB_AGAIN:-}" ]; then
        echo "the X server on $DISPLAY does not answer: once more on a fresh one"
        export SALVOR_XVFB_AGAIN=1
        exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
    fi
    echo "FAIL: the X server on $DISPLAY does not answer"
    exit 1
}
