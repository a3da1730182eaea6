# Loop devices of a test's own while other runs attach and detach theirs
# (sourced). A free device is taken atomically by `losetup -f --show`, and
# another run may take it first: the attach is tried again. A device another
# run detached while the kernel still had partitions it added (partx) keeps
# them: they would be listed as this run's, or stop partx from adding ours.
# They are dropped on taking the device; one that cannot be dropped (held
# open) is kept aside, attached, and another device taken.

loop_attached=() # every device this run attached, detached by loop_detach_all

# _loop_parts DEV: the kernel names of DEV's partitions.
_loop_parts() {
    local name="${1##*/}" p
    for p in /sys/class/block/"$name"/"$name"p*; do
        [ -e "$p/partition" ] && echo "${p##*/}"
    done
    return 0
}

# _loop_drop DEV: drops every partition DEV has (one held open is not
# dropped: tried again for a while). False when some remain.
_loop_drop() {
    local n
    for n in $(seq 1 20); do
        [ -z "$(_loop_parts "$1")" ] && return 0
        partx -d "$1" >/dev/null 2>&1 || true
        sleep 0.1
    done
    [ -z "$(_loop_parts "$1")" ]
}

# _loop_nodes DEV: waits (at most 10 s) until every partition the kernel
# lists for DEV has its device node.
_loop_nodes() {
    local n p missing
    for n in $(seq 1 100); do
        missing=""
        for p in $(_loop_parts "$1"); do [ -b "/dev/$p" ] || missing="$p"; done
        [ -z "$missing" ] && return 0
        udevadm settle -t 1 >/dev/null 2>&1 || sleep 0.1
    done
    echo "loop: no device node for $missing" >&2
    return 1
}

# loop_attach [LOSETUP-OPTIONS] IMAGE: attaches IMAGE on a loop device of this
# run's own and sets $loop_dev (not in a subshell: the device is recorded for
# loop_detach_all). With -P (given apart) the partitions are the kernel's of
# IMAGE, their nodes waited for; without, the device has none.
loop_attach() {
    local try out aside=() partscan="" arg
    for arg in "$@"; do [ "$arg" = -P ] || [ "$arg" = --partscan ] && partscan=1; done
    loop_dev=""
    for try in $(seq 1 50); do
        if ! out="$(losetup -f --show "$@" 2>&1)"; then
            case "$out" in
                *busy*|*"unused loop device"*|*"No such device"*) sleep "0.$((RANDOM % 9 + 1))"; continue ;;
            esac
            echo "$out" >&2
            break
        fi
        loop_attached+=("$out")
        # The kernel's scan (-P) replaced what another run left, unless that
        # was held open; without -P nothing of another run's may stay.
        if { [ -n "$partscan" ] && _loop_nodes "$out" && _loop_mine "$out" "${@: -1}"; } ||
           { [ -z "$partscan" ] && _loop_drop "$out"; }; then
            loop_dev="$out"
            break
        fi
        aside+=("$out")
    done
    for out in ${aside[@]+"${aside[@]}"}; do loop_detach "$out"; done
    [ -n "$loop_dev" ] || { echo "loop: could not attach ${*: -1}" >&2; return 1; }
}

# _loop_mine DEV IMAGE: every partition the kernel lists for DEV starts where
# IMAGE's table puts one (none of another image's left over). A kernel
# without the table's parser makes none.
_loop_mine() {
    local want p
    want="$(partx -g -o NR,START "$2" 2>/dev/null | awk '{ print $1 ":" $2 }')"
    for p in $(_loop_parts "$1"); do
        grep -qx "$(cat "/sys/class/block/$p/partition"):$(cat "/sys/class/block/$p/start")" <<<"$want" || return 1
    done
}

# loop_partitions DEV: the partitions partx reads in DEV's table added to
# DEV (attached without -P), their nodes waited for. The kernel refuses
# now and then (busy while another program opens the disk): tried again.
loop_partitions() {
    local n
    for n in $(seq 1 20); do
        _loop_drop "$1" || return 1
        if partx -a "$1" 2>/dev/null; then _loop_nodes "$1" || true; return 0; fi
        sleep 0.2
    done
    partx -a "$1" # says why
}

# loop_detach DEV: partitions dropped (tried for a while), then detached; a
# device this run did not attach is left alone.
loop_detach() {
    local i
    for i in "${!loop_attached[@]}"; do
        [ "${loop_attached[$i]}" = "$1" ] || continue
        _loop_drop "$1" || echo "loop: partitions of $1 still held" >&2
        losetup -d "$1" || true
        unset 'loop_attached[i]'
        return 0
    done
}

loop_detach_all() {
    local d
    for d in ${loop_attached[@]+"${loop_attached[@]}"}; do loop_detach "$d"; done
}
