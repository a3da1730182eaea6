#!/usr/bin/env bash
# A device that goes away mid-work: FAT32 (mkfs.vfat + mtools) and NTFS
# (mkntfs + ntfs-3g) volumes of 20,000 files on loop devices attached to
# copies of the images; when the probe reports a tenth of the scan done (or
# the recovery has written 2,000 files) the copy is cut to 0 bytes and the
# loop device's capacity read again, as a pulled card reader leaves it.
# - quick and deep scans, bare and through the facade, end with exit 1 and
#   "the device stopped answering", listing no more than was found;
# - a save of such a scan is marked unfinished in its header (status 2);
# - a recovery stops there: every file left in the destination is its
#   original byte for byte, none all zeros, and no file is begun after.
# A cut image file is not a vanished device (issue 76's rows hold it).
# Usage: scan_image_vanish.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@"
export QT_QPA_PLATFORM=offscreen MTOOLS_SKIP_CHECK=1
fail() { echo "scan_image vanish: $*" >&2; exit 1; }
if [ "$(id -u)" -ne 0 ]; then echo "scan_image vanish: needs root (loop devices)"; exit 77; fi
for tool in losetup:mount mkfs.vfat:dosfstools mcopy:mtools mkntfs:ntfs-3g ntfs-3g:ntfs-3g fusermount:fuse3 python3:python3; do
    command -v "${tool%%:*}" >/dev/null || fail "missing '${tool%%:*}': install the Debian package '${tool#*:}'"
done
loops=()
mnt="$out/mnt"
cleanup() {
    mountpoint -q "$mnt" 2>/dev/null && { fusermount -u "$mnt" || umount "$mnt" || true; }
    for l in ${loops[@]+"${loops[@]}"}; do losetup -d "$l" 2>/dev/null || true; done
    rm -rf "$out"
}
trap cleanup EXIT

# 200 folders of 100 files, 1 to 16 KiB of seeded random bytes each.
python3 - "$out/src" <<'PY'
import os, random, sys
r = random.Random(90)
for d in range(200):
    os.makedirs(f"{sys.argv[1]}/d{d:03d}")
    for f in range(100):
        with open(f"{sys.argv[1]}/d{d:03d}/f{f:03d}.bin", "wb") as h:
            h.write(r.randbytes(r.randint(1, 16) * 1024))
PY
truncate -s 600M "$out/fat32.img"
mkfs.vfat -F 32 -n VANISH "$out/fat32.img" >/dev/null
mcopy -s -i "$out/fat32.img" "$out/src"/* ::/
truncate -s 600M "$out/ntfs.img"
mkntfs -q -Q -F -L VANISH "$out/ntfs.img" >/dev/null 2>&1
mkdir -p "$mnt"
ntfs-3g "$out/ntfs.img" "$mnt"
cp -r "$out/src"/* "$mnt"/
fusermount -u "$mnt"

# cut_device PID COPY DEV: the device goes while the probe is held stopped. A loop
# device reads its cut backing file as zeros until its capacity is re-read,
# which no real device does: the probe asks nothing in between.
cut_device() {
    local pid="$1" copy="$2" dev="$3" i
    kill -STOP "$pid"
    for i in $(seq 1 500); do   # every thread stopped, none inside a read
        sed -E 's/^.*\) ([A-Za-z]).*/\1/' /proc/"$pid"/task/*/stat 2>/dev/null | grep -qv '^[Tt]$' || break
        sleep 0.01
    done
    truncate -s 0 "$copy"; losetup -c "$dev"
    kill -CONT "$pid"
}

# run KIND MODE TAG WHEN [probe options]: the probe on a loop device of a
# fresh copy of KIND's image; WHEN is "progress N" (cut at the line
# "progress N%" or later) or "files N" (cut once N files are recovered).
run() {
    local kind="$1" mode="$2" tag="$3" when="$4"; shift 4
    local copy="$out/$tag.img"
    cp "$out/$kind.img" "$copy"
    local dev; dev="$(losetup -r -f --show "$copy")"; loops+=("$dev")
    mkfifo "$out/$tag.fifo"
    "$probe" "$mode" "$dev" --progress "$@" > "$out/$tag.txt" 2> "$out/$tag.fifo" &
    local pid=$! cut=0 line
    local at="${when#* }"
    while IFS= read -r line; do
        echo "$line" >> "$out/$tag.err"
        if [ $cut = 0 ] && [ "${when% *}" = progress ] && [[ "$line" =~ ^progress\ ([0-9]+)% ]] &&
           [ "${BASH_REMATCH[1]}" -ge "$at" ]; then
            cut_device "$pid" "$copy" "$dev"; cut=1
        fi
        if [ $cut = 0 ] && [ "${when% *}" = files ] && [ -d "$out/$tag.dest" ] &&
           [ "$(find "$out/$tag.dest" -type f | wc -l)" -ge "$at" ]; then
            cut_device "$pid" "$copy" "$dev"; cut=1
        fi
    done < <(if [ "${when% *}" = files ]; then
                 # The probe's lines, then a tick every 20 ms while it runs: the
                 # cut waits for the files, not for a time.
                 cat "$out/$tag.fifo" & while kill -0 $pid 2>/dev/null; do echo tick; sleep 0.02; done
             else cat "$out/$tag.fifo"; fi)
    local status=0
    wait $pid || status=$?
    [ $cut = 1 ] || fail "$tag: the work ended before the cut"
    [ $status = 1 ] || fail "$tag: exit $status, not 1"
    grep -q "the device stopped answering" "$out/$tag.err" || fail "$tag: not told the device stopped answering"
    losetup -d "$dev"
}

for kind in fat32 ntfs; do
    for mode in quick deep; do
        tag="$kind.$mode"
        run $kind $mode "$tag" "progress 10"
        files="$(tail -n 1 "$out/$tag.txt" | sed -n 's/.* files=\([0-9]*\) .*/\1/p')"
        [ -n "$files" ] && [ "$files" -lt 20000 ] || fail "$tag: $(tail -n 1 "$out/$tag.txt")"
        grep -q "scan ended at [0-9]*%" "$out/$tag.err" || fail "$tag: not told how far the scan got"
        echo "$tag: $(grep 'scan ended at' "$out/$tag.err")"
    done
    # Through the facade, saved: the save says the scan did not finish.
    tag="$kind.services"
    run $kind quick "$tag" "progress 10" --services --save "$out/$tag.rsf"
    [ -s "$out/$tag.rsf" ] || fail "$tag: nothing saved"
    status="$(od -An -tu4 -j24 -N4 "$out/$tag.rsf" | tr -d ' ')"
    [ "$status" = 2 ] || fail "$tag: the save's status is $status, not 2 (unfinished)"
    # Recoveries cut after 2,000 files: what is left is the files, whole.
    for how in bare --services; do
        tag="$kind.recover.$how"
        run $kind quick "$tag" "files 2000" ${how/bare/} --recover "$out/$tag.dest"
        grep -q "recovery stopped" "$out/$tag.err" || fail "$tag: not told the recovery stopped"
        python3 - "$out/$tag.dest" "$out/src" <<'PY' || fail "$tag: a file left is not its original"
import os, sys
dest, src = sys.argv[1], sys.argv[2]
n = 0
for root, _, files in os.walk(dest):
    for name in files:
        got = open(os.path.join(root, name), "rb").read()
        rel = os.path.relpath(os.path.join(root, name), dest).split(os.sep)
        want = open(os.path.join(src, rel[-2], rel[-1]), "rb").read()
        if got != want:
            sys.exit(f"{'/'.join(rel)}: {len(got)} bytes differ from the original"
                     + (" (all zeros)" if got.count(0) == len(got) else ""))
        n += 1
if not 2000 <= n < 20000:
    sys.exit(f"{n} files left")
print(f"{n} files left, each its original")
PY
    done
done
echo "scan_image vanish: ok"
