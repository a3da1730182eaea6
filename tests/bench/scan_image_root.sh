#!/usr/bin/env bash
# scan_image on real block devices (root only: loop devices, FUSE, tmpfs):
# - a fixture attached read-only as a loop device (512- and 4096-byte
#   sectors, and a partition at --offset) gives the same listing and the
#   same recovered bytes as the image file;
# - a destination inside a FUSE mount of the scanned image or device, or on
#   a mounted partition of a loop device of the scanned disk image, is
#   refused and nothing is written; beside the image is fine;
# - on a full 1 MiB tmpfs no file is left cut short;
# - a save over a save on a tmpfs without room for the new one fails and
#   leaves the old save as it was with nothing beside it, also under a second
#   name; with room, it replaces it;
# - another user's save over a save it may write but not replace by a new
#   file (a folder it may not add to, a sticky folder) is written in place;
# - such a save is built where there is room for it: over a save with a
#   second name on a volume with room to grow it but not for a second copy,
#   and in a folder the user may not add to with TMPDIR a 256 KiB tmpfs;
# - SIGTERM while a new save is copied over a save with a second name on a
#   slow stick (ext4 mounted sync, writes held to 100 kB/s) puts the old
#   bytes back: exit 143, the old save under both names, nothing beside;
#   SIGKILL there leaves what the next load (by the second name) needs to
#   put them back: it loads, the old save under both names, nothing beside.
# Usage: scan_image_root.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
[ "$(id -u)" -eq 0 ] || { echo "scan_image root: skipped, needs root (loop devices, FUSE, tmpfs)"; exit 77; }
for tool in losetup:mount mount.exfat-fuse:exfat-fuse fusermount:fuse3 setpriv:util-linux mkfs.ext4:e2fsprogs \
    mkfs.vfat:dosfstools mcopy:mtools lsblk:util-linux; do
    command -v "${tool%%:*}" >/dev/null || { echo "missing '${tool%%:*}': install '${tool#*:}'" >&2; exit 1; }
done
# A fixture whose tool is missing fails here rather than skipping.
for f in fat_16 fat_16_4k mbr_fat_exfat exfat_quick writer_fat; do
    bash "$src/tests/fixtures/make-fixture" $f "$fixtures" || exit 1
done
W="$(mktemp -d)"
mounts=(); slow_cgroup=""
. "$src/tests/ui/windows/e2e-lib.sh" # slow_reads, slow_writes, slowed
. "$src/tests/support/loop.sh"
cleanup() {
    unslow_reads
    for m in ${mounts[@]+"${mounts[@]}"}; do fusermount -u "$m" 2>/dev/null || umount "$m" || true; done
    loop_detach_all
    rm -rf "$W"
}
trap cleanup EXIT
fail() { echo "scan_image root: $*" >&2; exit 1; }
# attach LOSETUP-ARGS: sets $dev and records it for the clean-up (not in a subshell).
attach() { loop_attach "$@" || fail "no loop device for ${*: -1}"; dev="$loop_dev"; }

# name IMAGE LOSETUP-OPTIONS FILE-OPTIONS [--offset N]
same_as_file() {
    local name="$1" img="$2" lo="$3" opts="$4"; shift 4
    attach -r $lo "$img"
    "$probe" quick "$img" $opts "$@" --recover "$W/$name.f" > "$W/$name.f.list" 2>/dev/null || fail "$name: file scan failed"
    "$probe" quick "$dev" "$@" --recover "$W/$name.d" > "$W/$name.d.list" 2>/dev/null || fail "$name: $dev scan failed"
    [ "$(wc -l < "$W/$name.f.list")" -gt 2 ] || fail "$name: nothing listed"
    diff <(head -n -1 "$W/$name.f.list") <(head -n -1 "$W/$name.d.list") >&2 || fail "$name: listings differ"
    diff -r "$W/$name.f" "$W/$name.d" >&2 || fail "$name: recovered files differ"
}
same_as_file fat16 "$fixtures/fat_16/fat_16.img" "" ""
same_as_file fat16_4k "$fixtures/fat_16_4k/fat_16_4k.img" "-b 4096" "--sector-size 4096"
same_as_file partition "$fixtures/mbr_fat_exfat/disk_intact.img" "" "" --offset 2048

# A writable copy of an exFAT image mounted through FUSE from a loop device.
cp "$fixtures/exfat_quick/exfat_512.img" "$W/copy.img"
attach "$W/copy.img"
mkdir "$W/mnt"
mount.exfat-fuse "$dev" "$W/mnt" >/dev/null 2>&1; mounts+=("$W/mnt")
mkdir "$W/mnt/out"
for scanned in "$W/copy.img" "$dev"; do
    set +e
    "$probe" quick "$scanned" --recover "$W/mnt/out/new" > /dev/null 2> "$W/err"
    rc=$?
    set -e
    [ $rc -ne 0 ] && [ "$(wc -l < "$W/err")" -eq 1 ] && grep -q 'refusing' "$W/err" ||
        fail "$scanned onto its own mount: exit $rc, $(cat "$W/err")"
    [ -z "$(ls -A "$W/mnt/out")" ] || fail "$scanned: something was written onto the scanned volume"
done
"$probe" quick "$W/copy.img" --recover "$W/beside" > /dev/null 2>&1 || fail "recovery beside the image refused"

# The exFAT partition of the scanned disk image mounted through FUSE, from a
# loop device of the whole image with its partitions and from a loop device
# of just that partition's range: a destination there is refused too.
cp "$fixtures/mbr_fat_exfat/disk_intact.img" "$W/disk.img"
attach -P "$W/disk.img"
# partx's: a kernel without the table's parser makes none of its own.
loop_partitions "$dev" || fail "no partitions on $dev"
sysdev="/sys/class/block/$(basename "$dev")p2/dev"
[ -b "${dev}p2" ] || [ ! -e "$sysdev" ] || mknod "$W/loopp2" b $(tr ':' ' ' < "$sysdev")
if [ -b "${dev}p2" ]; then whole="${dev}p2"; else whole="$W/loopp2"; fi
attach -o $((133120 * 512)) --sizelimit $((131072 * 512)) "$W/disk.img"
for source in "$whole" "$dev"; do
    mkdir -p "$W/part"
    mount.exfat-fuse "$source" "$W/part" >/dev/null 2>&1; mounts+=("$W/part")
    mkdir "$W/part/out"
    set +e
    "$probe" quick "$W/disk.img" --offset 2048 --recover "$W/part/out/new" > /dev/null 2> "$W/err"
    rc=$?
    set -e
    [ $rc -ne 0 ] && grep -q 'refusing' "$W/err" || fail "onto its mounted partition ($source): exit $rc, $(cat "$W/err")"
    [ -z "$(ls -A "$W/part/out")" ] || fail "$source: something was written onto the scanned disk's partition"
    rmdir "$W/part/out"
    fusermount -u "$W/part"; unset 'mounts[${#mounts[@]}-1]'
done

# 1 MiB of room for 10 MiB and more of files: refused before anything is written.
mkdir "$W/small"
mount -t tmpfs -o size=1M tmpfs "$W/small"; mounts+=("$W/small")
set +e
"$probe" quick "$fixtures/writer_fat/writer_fat.img" --recover "$W/small/rec" > "$W/list" 2>"$W/err"
rc=$?
set -e
[ $rc -eq 1 ] || fail "exit $rc on a full tmpfs"
grep -q "the destination has [0-9]* free" "$W/err" || fail "no message on a full tmpfs: $(cat "$W/err")"
[ -z "$(find "$W/small" -type f)" ] || fail "files written to a destination they cannot fit"

# A save over a save (through the facade, as the windows save) without room.
mkdir "$W/saves"
mount -t tmpfs -o size=1M tmpfs "$W/saves"; mounts+=("$W/saves")
"$probe" quick "$fixtures/exfat_quick/exfat_4096.img" --services --save "$W/saves/scan.rsf" > /dev/null 2>&1 ||
    fail "the first save failed"
cp "$W/saves/scan.rsf" "$W/old.rsf"
dd if=/dev/zero of="$W/saves/fill" bs=4k 2>/dev/null || true
set +e
"$probe" quick "$fixtures/mbr_fat_exfat/disk_intact.img" --services --save "$W/saves/scan.rsf" > /dev/null 2>"$W/err"
rc=$?
set -e
[ $rc -eq 1 ] && grep -q "save failed" "$W/err" || fail "exit $rc saving over a save without room"
cmp -s "$W/old.rsf" "$W/saves/scan.rsf" || fail "a failed save changed the save it was to replace"
[ "$(ls -A "$W/saves" | tr '\n' ' ')" = "fill scan.rsf " ] || fail "left beside the save: $(ls -A "$W/saves")"
# The same over a save with a second name, which a new save is copied over
# rather than renamed onto: both names keep the old save.
ln "$W/saves/scan.rsf" "$W/saves/second.rsf"
set +e
"$probe" quick "$fixtures/mbr_fat_exfat/disk_intact.img" --services --save "$W/saves/scan.rsf" > /dev/null 2>"$W/err"
rc=$?
set -e
[ $rc -eq 1 ] && grep -q "save failed" "$W/err" || fail "exit $rc saving over a save with a second name without room"
for name in scan second; do
    cmp -s "$W/old.rsf" "$W/saves/$name.rsf" || fail "a failed save changed the save's name $name.rsf"
done
rm "$W/saves/second.rsf"
rm "$W/saves/fill"
"$probe" quick "$fixtures/mbr_fat_exfat/disk_intact.img" --services --save "$W/saves/scan.rsf" > /dev/null 2>&1 ||
    fail "the save with room failed"
! cmp -s "$W/old.rsf" "$W/saves/scan.rsf" || fail "the save with room did not replace the old one"
[ "$(ls -A "$W/saves")" = "scan.rsf" ] || fail "left beside the save: $(ls -A "$W/saves")"

# Saves written in place by another user (nobody's group): its own save, with
# a second name, in a folder it may not add to; another user's
# group-writable save in a sticky folder. Each is replaced, keeping its
# owner, bits and names, and nothing is left beside it.
chmod 755 "$W"
for f in fat_16/fat_16.img mbr_fat_exfat/disk_intact.img; do cp "$fixtures/$f" "$W/"; done
chmod 644 "$W"/*.img
# The other users run the probe (and the services program it starts from its
# own folder) from here: the build tree may lie in a folder closed to them,
# as a clone in root's home does.
mkdir "$W/bin"
for p in "$probe" "$(dirname "$probe")/scan_image_services"; do
    ln "$p" "$W/bin/" 2>/dev/null || cp "$p" "$W/bin/" || fail "cannot copy $p for the other users"
done
chmod 755 "$W/bin" "$W/bin/"*
userprobe="$W/bin/$(basename "$probe")"
for uid in 65534 65533; do
    setpriv --reuid="$uid" --regid=65534 --groups=65534 test -x "$userprobe" -a -r "$W/fat_16.img" || {
        closed="$W"
        while [ "$closed" != / ] && [ $((0$(stat -c %a "$closed") & 1)) = 1 ]; do closed="$(dirname "$closed")"; done
        fail "user $uid cannot reach $W: $closed is $(stat -c '%A %U' "$closed"); set TMPDIR to a folder other users can reach"
    }
done
mkdir "$W/shut" "$W/sticky"
chmod 1777 "$W/sticky"
while read -r uid folder bits links; do
    "$probe" quick "$W/fat_16.img" --services --save "$W/$folder/scan.rsf" > /dev/null 2>&1 || fail "the save in $folder failed"
    chown 65534:65534 "$W/$folder/scan.rsf"
    chmod "$bits" "$W/$folder/scan.rsf"
    [ "$links" = 1 ] || ln "$W/$folder/scan.rsf" "$W/$folder/second.rsf"
    cp "$W/$folder/scan.rsf" "$W/old.rsf"
    before="$(ls -A "$W/$folder" | tr '\n' ' ')"
    setpriv --reuid="$uid" --regid=65534 --groups=65534 \
        "$userprobe" quick "$W/disk_intact.img" --services --save "$W/$folder/scan.rsf" > /dev/null 2>"$W/err" ||
        fail "user $uid's save over a save in $folder failed: $({ grep -a save "$W/err" || cat "$W/err"; } | tail -n 1)"
    ! cmp -s "$W/old.rsf" "$W/$folder/scan.rsf" || fail "user $uid's save in $folder did not replace the old one"
    [ "$(stat -c '%u:%g %a %h' "$W/$folder/scan.rsf")" = "65534:65534 $bits $links" ] ||
        fail "user $uid's save in $folder is $(stat -c '%u:%g %a %h' "$W/$folder/scan.rsf")"
    [ "$links" = 1 ] || cmp -s "$W/$folder/scan.rsf" "$W/$folder/second.rsf" || fail "the save's second name was split from it"
    [ "$(ls -A "$W/$folder" | tr '\n' ' ')" = "$before" ] || fail "left beside the save in $folder: $(ls -A "$W/$folder")"
done <<'CASES'
65534 shut 640 2
65533 sticky 660 1
CASES

# A volume of 4,000 small files: its save (some 450 KiB) is much larger than
# that of fat_16.
mkdir "$W/tree"
for d in $(seq 1 10); do
    mkdir "$W/tree/D$d"
    for f in $(seq 1 400); do echo "file $f of folder $d" > "$W/tree/D$d/F$f.TXT"; done
done
truncate -s 64M "$W/many.img"
mkfs.vfat -F 32 -n MANY "$W/many.img" > /dev/null && mcopy -s -i "$W/many.img" "$W"/tree/* ::/ || fail "making many.img"
chmod 644 "$W/many.img"
"$probe" quick "$W/many.img" --services --save "$W/many.rsf" > /dev/null 2>&1 || fail "the save of many.img failed"
"$probe" quick "$W/fat_16.img" --services --save "$W/small.rsf" > /dev/null 2>&1 || fail "the save of fat_16 failed"
newsize=$(stat -c %s "$W/many.rsf"); oldsize=$(stat -c %s "$W/small.rsf")

# Over a save with a second name, on a tmpfs with room for the old save to
# grow into the new one and 100 KiB more, not for a second copy of the new.
rm -f "$W/saves"/*
cp "$W/small.rsf" "$W/saves/scan.rsf"; ln "$W/saves/scan.rsf" "$W/saves/second.rsf"
avail=$(df --output=avail -B1 "$W/saves" | tail -1)
room=$(( newsize - oldsize + 100 * 1024 ))
[ "$avail" -gt "$room" ] || fail "the saves' tmpfs holds $avail bytes, fewer than $room"
head -c $(( avail - room )) /dev/zero > "$W/saves/fill"
"$probe" quick "$W/many.img" --services --save "$W/saves/scan.rsf" > /dev/null 2>"$W/err" ||
    fail "a save over a save with a second name, with room to grow it, failed: $(grep -a 'save' "$W/err" | tail -n 2)"
for name in scan second; do
    cmp -s "$W/many.rsf" "$W/saves/$name.rsf" ||
        fail "$name.rsf is not the new save ($(stat -c %s "$W/saves/$name.rsf") bytes of $newsize)"
done
[ "$(ls -A "$W/saves" | tr '\n' ' ')" = "fill scan.rsf second.rsf " ] || fail "left beside the save: $(ls -A "$W/saves")"

# The user's own save with a second name in a folder it may not add to, with
# TMPDIR a tmpfs of 256 KiB: built elsewhere, it replaces the old one.
cp "$W/small.rsf" "$W/shut/scan.rsf"
chown 65534:65534 "$W/shut/scan.rsf"; chmod 640 "$W/shut/scan.rsf"
mkdir "$W/tiny"
mount -t tmpfs -o size=256k,mode=1777 tmpfs "$W/tiny"; mounts+=("$W/tiny")
setpriv --reuid=65534 --regid=65534 --groups=65534 env TMPDIR="$W/tiny" \
    "$userprobe" quick "$W/many.img" --services --save "$W/shut/scan.rsf" > /dev/null 2>"$W/err" ||
    fail "the user's save in a folder it may not add to, TMPDIR a small tmpfs, failed: $(grep -a 'save' "$W/err" | tail -n 2)"
for name in scan second; do
    cmp -s "$W/many.rsf" "$W/shut/$name.rsf" || fail "shut/$name.rsf is not the new save"
done
[ "$(stat -c '%u:%g %a %h' "$W/shut/scan.rsf")" = "65534:65534 640 2" ] || fail "shut/scan.rsf is $(stat -c '%u:%g %a %h' "$W/shut/scan.rsf")"
[ -z "$(ls -A "$W/tiny")" ] || fail "left in TMPDIR: $(ls -A "$W/tiny")"

# SIGTERM while the new save goes over the old one on a slow stick.
truncate -s 64M "$W/slow.img"
mkfs.ext4 -q "$W/slow.img" || fail "mkfs.ext4"
attach "$W/slow.img"
slowdev="$dev"
mkdir "$W/slow"
mount -o sync "$slowdev" "$W/slow"; mounts+=("$W/slow")
cp "$W/small.rsf" "$W/slow/scan.rsf"; ln "$W/slow/scan.rsf" "$W/slow/second.rsf"
sync
slow_reads "$slowdev" $((1 << 40))
slow_writes "$slowdev" $((100 * 1024)) || fail "no blkio or io cgroup to slow the writes of $slowdev"
# copying: a save of many.img over slow/scan.rsf ($saver), once its copy over
# the old save has begun.
copying() {
    ( slowed "$probe" quick "$W/many.img" --services --save "$W/slow/scan.rsf" > /dev/null 2>"$W/slow.err" ) &
    saver=$!
    for _ in $(seq 1 600); do
        cmp -s "$W/small.rsf" "$W/slow/scan.rsf" || break
        kill -0 "$saver" 2>/dev/null || break
        sleep 0.1
    done
    cmp -s "$W/small.rsf" "$W/slow/scan.rsf" && fail "the copy over the old save was not caught"
    sleep 1
}
copying
kill -TERM "$saver"
set +e
wait "$saver"
rc=$?
set -e
[ $rc -eq 143 ] || fail "exit $rc after SIGTERM during the copy over the old save: $(tail -n 3 "$W/slow.err")"
for name in scan second; do
    cmp -s "$W/small.rsf" "$W/slow/$name.rsf" ||
        fail "SIGTERM during the copy left $name.rsf other than the old save ($(stat -c %s "$W/slow/$name.rsf") bytes)"
done
[ "$(ls -A "$W/slow" | tr '\n' ' ')" = "lost+found scan.rsf second.rsf " ] || fail "left beside the save: $(ls -A "$W/slow")"
copying
kill -KILL "$saver"
set +e
wait "$saver"
rc=$?
set -e
[ $rc -eq 137 ] || fail "exit $rc after SIGKILL during the copy over the old save"
"$probe" load "$W/slow/second.rsf" --device "$W/fat_16.img" > /dev/null 2>"$W/err" ||
    fail "the load after SIGKILL during the copy failed: $(grep -a 'failed' "$W/err" | tail -n 1)"
for name in scan second; do
    cmp -s "$W/small.rsf" "$W/slow/$name.rsf" ||
        fail "after SIGKILL during the copy and a load, $name.rsf is not the old save ($(stat -c %s "$W/slow/$name.rsf") bytes)"
done
[ "$(ls -A "$W/slow" | tr '\n' ' ')" = "lost+found scan.rsf second.rsf " ] || fail "left beside the save: $(ls -A "$W/slow")"
echo "scan_image root: ok"
