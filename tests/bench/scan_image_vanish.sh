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
# VANISH_FEW=REGEX runs only the bad-block rows (KIND:STRUCTURES) it matches,
# e.g. VANISH_FEW='^fat32:' for FAT32's alone.
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@"
export QT_QPA_PLATFORM=offscreen MTOOLS_SKIP_CHECK=1 LC_ALL=C # sort and comm alike
fail() { echo "scan_image vanish: $*" >&2; exit 1; }
if [ "$(id -u)" -ne 0 ]; then echo "scan_image vanish: needs root (loop devices)"; exit 77; fi
for tool in losetup:mount mkfs.vfat:dosfstools mcopy:mtools mkntfs:ntfs-3g ntfs-3g:ntfs-3g fusermount:fuse3 python3:python3 \
            sfdisk:fdisk fls:sleuthkit icat:sleuthkit istat:sleuthkit tsk_recover:sleuthkit partx:util-linux \
            convert:imagemagick gs:ghostscript \
            mkfs.exfat:exfatprogs mount.exfat-fuse:exfat-fuse; do
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

# A failing disk that still answers: a FAT32 disk of 200 files (sfdisk,
# mkfs.fat, mcopy) read through a loop device over a file that fails reads
# on bad ranges (a weak first block, a bad last block, a bad MiB) or, while a
# flag file exists, everywhere (a bus reset). Nothing of it is gone: every
# file outside the bad sectors is recovered as its original. Only what the
# system says ends the work: the device's node removed (a pulled stick's),
# the device shrunk; and what the scan read before stays listed.
failing_file="${FAILING_FILE:-}"
[ -x "$failing_file" ] || fail "FAILING_FILE does not name the failing_file test tool (built with the tests)"
python3 - "$out/small" <<'PY2'
import os, random, sys
r = random.Random(95)
for d in range(4):
    os.makedirs(f"{sys.argv[1]}/d{d}")
    for f in range(50):
        with open(f"{sys.argv[1]}/d{d}/f{f:02d}.bin", "wb") as h:
            h.write(r.randbytes(r.randint(1, 16) * 1024 + r.randint(0, 1023)))
PY2
truncate -s 64M "$out/part.img"
mkfs.fat -F 32 -s 1 -n FAILING "$out/part.img" >/dev/null
mcopy -s -i "$out/part.img" "$out/small"/* ::/
truncate -s 160M "$out/disk.img"
echo 'start=2048, size=131072, type=c' | sfdisk -q "$out/disk.img"
dd if="$out/part.img" of="$out/disk.img" bs=1M seek=1 conv=notrunc status=none
mib=$((1 << 20))
edges="--bad 0:4096 --bad $((160 * mib - 4096)):4096"
free_bad="$edges --bad $((100 * mib)):$mib"
data_bad="$edges --bad $((3 * mib)):$mib"
# expected BAD...: "path<TAB>sha256" of each file The Sleuth Kit reads whole
# from the disk (DISK, else disk.img) with the bad ranges zeroed (one whose
# bytes lie there fails).
expected() {
    local zeroed="$out/zeroed.img"
    cp "${DISK:-$out/disk.img}" "$zeroed"
    python3 - "$zeroed" "$@" <<'PY2'
import sys
with open(sys.argv[1], "r+b") as f:
    for arg in sys.argv[2:]:
        off, n = map(int, arg.split(":"))
        f.seek(off); f.write(bytes(n))
PY2
    # tsk_recover reads what fls and icat read, in one process: fast on a
    # shared machine.
    rm -rf "$out/zeroed.files"
    tsk_recover -a -o 2048 "$zeroed" "$out/zeroed.files" >/dev/null || true
    python3 - "$out/zeroed.files" "$out/small" <<'PY2'
import hashlib, os, sys
got_root, small = sys.argv[1], sys.argv[2]
rows = []
for root, _, files in os.walk(got_root):
    for name in files:
        rel = os.path.relpath(os.path.join(root, name), got_root)
        if not rel.endswith(".bin") or not os.path.isfile(os.path.join(small, rel)):
            continue
        got = open(os.path.join(root, name), "rb").read()
        if got == open(os.path.join(small, rel), "rb").read():
            rows.append(f"{rel}\t{hashlib.sha256(got).hexdigest()}")
if rows:
    print("\n".join(sorted(set(rows), key=lambda r: r.encode())))
PY2
    rm -rf "$out/zeroed.files"
    rm -f "$zeroed"
}
# recovered DEST: "path<TAB>sha256" of each file recovered whole (its original).
recovered() {
    python3 - "$1" "$out/small" <<'PY2'
import hashlib, os, sys
dest, small = sys.argv[1], sys.argv[2]
rows = []
for root, _, files in os.walk(dest):
    for name in files:
        rel = os.path.basename(root) + "/" + name
        try:
            want = open(os.path.join(small, rel), "rb").read()
        except OSError:
            continue
        got = open(os.path.join(root, name), "rb").read()
        if got == want:
            rows.append(f"{rel}\t{hashlib.sha256(got).hexdigest()}")
if rows:
    print("\n".join(sorted(set(rows), key=lambda r: r.encode())))
PY2
}
# listed LISTING: "path<TAB>size" of each file the probe listed, as placed.
listed() { awk -F'\t' '$2 == "L" && $4 ~ /\.bin$/ { n = split($4, p, "/"); print p[n-1] "/" p[n] "\t" $3 }' "$1" | sort -u; }
placed() { (cd "$out/small" && find . -type f -printf '%P\t%s\n' | sort); }
# serve TAG OPTIONS...: the failing file of TAG over the disk ($backing when set), on
# a loop device of this run's own (sets $dev, $served, $flag).
serve() {
    local tag="$1"; shift
    served="$out/$tag.served"; flag="$out/$tag.silent"
    touch "$served"
    "$failing_file" "$served" "${backing:-${DISK:-$out/disk.img}}" "$@" --silent "$flag" > "$out/$tag.ff" 2>&1 &
    servers+=($!)
    for _ in $(seq 1 100); do grep -q ready "$out/$tag.ff" 2>/dev/null && break; sleep 0.05; done
    grep -q ready "$out/$tag.ff" || fail "$tag: $(cat "$out/$tag.ff")"
    loop_attach -r "$served" || fail "$tag: no loop device"
    dev="$loop_dev"
}
# probe_at TAG WHEN ACTION MODE DEV [options]: the probe, ACTION run (the
# probe held stopped) once it reports WHEN% done or, WHEN a text, prints a
# line holding it; sets $status.
probe_at() {
    local tag="$1" at="$2" action="$3" mode="$4" target="$5" line acted=0 pid; shift 5
    mkfifo "$out/$tag.fifo"
    "$probe" "$mode" "$target" --progress "$@" > "$out/$tag.txt" 2> "$out/$tag.fifo" &
    pid=$!
    while IFS= read -r line; do
        echo "$line" >> "$out/$tag.err"
        if [ $acted = 0 ] && [ -n "$action" ] && { [[ "$line" =~ ^progress\ ([0-9]+)% ]] && [ "${BASH_REMATCH[1]}" -ge "$at" ] ||
                                                   [[ "$at" =~ [a-z] && "$line" == *"$at"* ]]; }; then
            hold "$pid" "$action"; acted=1
        fi
    done < "$out/$tag.fifo"
    status=0
    wait $pid || status=$?
    [ -z "$action" ] || [ $acted = 1 ] || fail "$tag: the work ended before $action"
}
hold() {
    kill -STOP "$1"
    for i in $(seq 1 500); do
        sed -E 's/^.*\) ([A-Za-z]).*/\1/' /proc/"$1"/task/*/stat 2>/dev/null | grep -qv '^[Tt]$' || break
        sleep 0.01
    done
    acted_at=$SECONDS
    eval "$2"
    kill -CONT "$1"
}
servers=()
. "$src/tests/support/loop.sh"
trap 'loop_detach_all; for p in ${servers[@]+"${servers[@]}"}; do kill "$p" 2>/dev/null; done; wait; cleanup' EXIT
if [ -z "${VANISH_FEW:-}" ]; then
placed > "$out/placed.tsv"
[ "$(wc -l < "$out/placed.tsv")" = 200 ] || fail "200 files were not placed"
expected > "$out/all.want"
expected 0:4096 $((160 * mib - 4096)):4096 $((3 * mib)):$mib > "$out/data.want"
nwant="$(wc -l < "$out/data.want")"
[ "$nwant" -gt 100 ] && [ "$nwant" -lt 200 ] || fail "the bad MiB over data leaves $nwant files whole"
# Recoveries on the failing disk: what the failing sectors hold fails, the rest is recovered.
for row in "free deep free_bad all" "data deep data_bad data" "data.quick quick data_bad data" \
           "outage deep edges all"; do
    read -r tag mode bad want <<<"$row"
    tag="failing.$tag"
    serve "$tag" ${!bad}
    action=""; [ "${tag#failing.outage}" != "$tag" ] && action="touch '$flag'; (sleep 2; rm -f '$flag') &"
    offset=(); [ $mode = quick ] && offset=(--offset 2048)
    probe_at "$tag" 10 "$action" $mode "$dev" ${offset[@]+"${offset[@]}"} --recover "$out/$tag.dest"
    ! grep -q "stopped answering" "$out/$tag.err" || fail "$tag: a disk that answers was called gone: $(grep 'stopped\|ended' "$out/$tag.err")"
    diff "$out/$want.want" <(recovered "$out/$tag.dest") >&2 ||
        fail "$tag: recovered $(recovered "$out/$tag.dest" | wc -l) files whole, not the $(wc -l < "$out/$want.want") outside the bad sectors"
    echo "$tag: $(recovered "$out/$tag.dest" | wc -l) of 200 recovered whole"
    loop_detach "$dev"
done
# A bad block costs its own sectors: 60 small PNG, GIF and PDF files
# (ImageMagick, Ghostscript), one per 4 KiB slot of four 64 KiB pieces, one
# slot of each piece unreadable; and 12 photos of 6.7 KiB, each after 4 KiB
# that is unreadable for six of them. Every file is carved byte for byte.
tag=failing.carve
mkdir -p "$out/carve"
for i in $(seq 0 19); do
    convert -size $((8 + i))x$((6 + i)) xc:"rgb($((i * 12)),$((255 - i * 10)),$((i * 7)))" "$out/carve/p$i.png"
    convert -size $((8 + i))x$((6 + i)) xc:"rgb($((i * 12)),100,$((i * 7)))" "$out/carve/g$i.gif"
    SOURCE_DATE_EPOCH=1399360089 gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -sOutputFile="$out/carve/d$i.pdf" \
        -c "/Helvetica findfont 24 scalefont setfont 72 700 moveto (Note $i) show showpage"
done
for i in $(seq 0 11); do convert -seed $i -size 80x80 plasma:fractal -quality 95 "$out/carve/j$i.jpg"; done
carve_bad="$(python3 - "$out/carve" "$out/carve.img" <<'PY2'
import os, sys
d = sys.argv[1]
small = sorted(f for f in os.listdir(d) if f[-4:] in (".png", ".gif", ".pdf"))
photos = sorted(f for f in os.listdir(d) if f.endswith(".jpg"))
assert len(small) == 60 and len(photos) == 12
img, bad, files = bytearray(1 << 20), [], iter(small)
def put(off, name):
    data = open(f"{d}/{name}", "rb").read()
    assert len(data) <= 8192
    img[off:off + len(data)] = data
for piece in range(4):
    for slot in range(16):
        off = (piece + 1) * 65536 + slot * 4096
        if slot == (piece * 5 + 3) % 16: bad.append(off)
        else: put(off, next(files))
for i, name in enumerate(photos):
    off = 512 * 1024 + i * 12288
    if i % 2 == 0: bad.append(off)
    put(off + 4096, name)
open(sys.argv[2], "wb").write(img)
print(" ".join(f"--bad {o}:4096" for o in bad))
PY2
)"
backing="$out/carve.img" serve "$tag" $carve_bad
probe_at "$tag" 10 "" deep "$dev" --recover "$out/$tag.dest"
want="$( (cd "$out/carve" && sha256sum -- *) | cut -d' ' -f1 | sort -u)"
got="$(find "$out/$tag.dest" -type f -print0 | xargs -0 -r sha256sum | cut -d' ' -f1 | sort -u)"
exact="$(comm -12 <(echo "$want") <(echo "$got") | wc -l)"
[ "$exact" = 72 ] || fail "$tag: $exact of 72 files carved byte for byte"
echo "$tag: $exact of 72 carved byte for byte around 10 bad 4 KiB blocks"
loop_detach "$dev"
fi
# One bad 4 KiB inside a structure costs only what it holds: FAT12, FAT16,
# FAT32 and exFAT volumes of 100 files (60 in the root, 40 in a folder,
# fragmented among freed files), one block made unreadable in turn at each
# structure the scans read; quick and deep recover every file The Sleuth Kit
# reads whole from the volume with that block zeroed, and no other bytes
# under an original's name.
python3 - "$out/few" <<'PY2'
import os, random, sys
r = random.Random(102)
os.makedirs(f"{sys.argv[1]}/sub")
for i in range(100):
    path = f"{sys.argv[1]}/f{i:02d}.bin" if i < 60 else f"{sys.argv[1]}/sub/s{i - 60:02d}.bin"
    with open(path, "wb") as h:
        h.write(r.randbytes(r.randint(1, 16) * 1024 + r.randint(0, 1023)))
PY2
# bin_sums DIR: "name<TAB>sha256" of each *.bin file under DIR, in one process.
bin_sums() {
    python3 - "$1" <<'PY2' | sort -u
import hashlib, os, sys
for root, _, files in os.walk(sys.argv[1]):
    for name in files:
        path = os.path.join(root, name)
        if name.endswith(".bin") and os.path.isfile(path) and not os.path.islink(path):
            print(f"{name}\t{hashlib.sha256(open(path, 'rb').read()).hexdigest()}")
PY2
}
bin_sums "$out/few" > "$out/few.sums"
# few_volume KIND: a disk of one volume of KIND at sector 63 (as old cards
# are laid out: a 4 KiB block holds its boot sector alone), the folder's
# files written into the gaps of freed spacers, so their chains are fragmented.
few_volume() {
    local img="$out/few.$1.vol" k
    truncate -s "$( [ $1 = fat12 ] && echo 8M || echo 64M )" "$img"
    if [ $1 = exfat ]; then
        mkfs.exfat -c 4096 "$img" >/dev/null
        loop_attach "$img" || fail "few.$1: no loop device"
        mkdir -p "$mnt"; mount.exfat-fuse "$loop_dev" "$mnt" >/dev/null 2>&1 || fail "few.$1: cannot mount"
        cp "$out/few"/f*.bin "$mnt"/
        for k in $(seq 10 29); do head -c 3000 /dev/zero > "$mnt/x$k"; done
        rm -f "$mnt"/x1? "$mnt"/x2[13579]; cp -r "$out/few/sub" "$mnt"/
        umount "$mnt"; loop_detach "$loop_dev"
    else
        case $1 in fat12) mkfs.fat -F 12 -s 8 "$img" ;; fat16) mkfs.fat -F 16 -s 2 "$img" ;; fat32) mkfs.fat -F 32 -s 1 "$img" ;; esac >/dev/null
        mcopy -i "$img" "$out/few"/f*.bin ::/
        for k in $(seq 10 29); do head -c 3000 /dev/zero > "$out/x$k"; mcopy -i "$img" "$out/x$k" ::/; done
        mdel -i "$img" $(for k in 10 11 12 13 14 15 16 17 18 19 21 23 25 27 29; do echo "::/x$k"; done)
        mcopy -s -i "$img" "$out/few/sub" ::/
    fi
    truncate -s $(( $(stat -c %s "$img") + 64 * 512 )) "$out/few.$1.img"
    echo "start=63, size=$(( $(stat -c %s "$img") / 512 )), type=$( [ $1 = exfat ] && echo 7 || echo c )" | sfdisk -q "$out/few.$1.img"
    dd if="$img" of="$out/few.$1.img" bs=512 seek=63 conv=notrunc status=none
}
# structure_at KIND NAME: the disk's byte offset of the 4 KiB block holding
# NAME (fat1.frag: the first FAT's next 4 KiB, where the fragmented chains lie).
structure_at() {
    local img="$out/few.$1.vol" at
    case $2 in
        sub|bitmap|upcase)
            local name; name="$(case $2 in sub) echo sub ;; bitmap) echo '$ALLOC_BITMAP' ;; upcase) echo '$UPCASE_TABLE' ;; esac)"
            local inode; inode="$(fls "$img" | awk -F'\t' -v n="$name" '$2 == n { split($1, a, " "); sub(/:$/, "", a[2]); print a[2] }')"
            at=$(( $(istat "$img" "$inode" | awk '/^Sectors:/ { getline; print $1; exit }') * 512 )) ;;
        *) at="$(python3 - "$img" "$2" <<'PY2'
import struct, sys
b = open(sys.argv[1], "rb").read(512)
what = sys.argv[2]
if b[3:11] == b"EXFAT   ":
    ss, spc = 1 << b[108], 1 << b[109]
    fat, heap, root = struct.unpack_from("<I", b, 80)[0], struct.unpack_from("<I", b, 88)[0], struct.unpack_from("<I", b, 96)[0]
    print({"boot": 0, "fat1": fat * ss, "root": (heap + (root - 2) * spc) * ss}[what])
else:
    ss, spc, rsv, nfat, rootent = struct.unpack_from("<HBHBH", b, 11)
    spf = struct.unpack_from("<H", b, 22)[0] or struct.unpack_from("<I", b, 36)[0]
    data = rsv + nfat * spf + rootent * 32 // ss
    root = (data + (struct.unpack_from("<I", b, 44)[0] - 2) * spc) if rootent == 0 else rsv + nfat * spf
    print({"boot": 0, "fat1": rsv * ss, "fat2": (rsv + spf) * ss, "fat1.frag": rsv * ss + 4096, "root": root * ss}[what])
PY2
)" ;;
    esac
    echo $(( (63 * 512 + at) / 4096 * 4096 ))
}
# Rows KIND:STRUCTURES[:copy]; copy: the file system's copy answers for the
# block (the oracle reads the volume whole).
for row in fat32:fat1:copy fat32:fat1.frag:copy fat32:fat1+fat2 fat32:boot fat32:sub \
           fat16:fat1+fat2 fat16:sub fat12:fat1+fat2 fat12:root exfat:bitmap exfat:upcase exfat:sub; do
    [[ -z "${VANISH_FEW:-}" || "$row" =~ $VANISH_FEW ]] || continue
    IFS=: read -r kind what copy <<<"$row"
    [ -s "$out/few.$kind.img" ] || few_volume $kind
    bad=(); for s in ${what//+/ }; do bad+=("$(structure_at $kind "$s"):4096"); done
    # The oracle: what The Sleuth Kit reads whole with the blocks zeroed.
    cp "$out/few.$kind.img" "$out/few.zeroed.img"
    [ -n "$copy" ] || for b in "${bad[@]}"; do
        dd if=/dev/zero of="$out/few.zeroed.img" bs=4096 seek=$(( ${b%:*} / 4096 )) count=1 conv=notrunc status=none
    done
    # (A volume it cannot open reads nothing.) A volume read whole is read once.
    if [ -n "$copy" ] && [ -e "$out/few.$kind.whole" ]; then
        cp "$out/few.$kind.whole" "$out/few.want"
    else
        { fls -r -p -o 63 "$out/few.zeroed.img" 2>/dev/null || true; } | awk -F'\t' '$1 ~ /^r\/r/ && $2 ~ /\.bin$/ { split($1, a, " "); sub(/:$/, "", a[length(a)]); print a[length(a)] "\t" $2 }' |
            while IFS=$'\t' read -r inode path; do
                printf '%s\t%s\n' "${path##*/}" "$(icat -o 63 "$out/few.zeroed.img" "$inode" | sha256sum | cut -d' ' -f1)"
            done | sort -u | comm -12 - "$out/few.sums" > "$out/few.want"
        [ -z "$copy" ] || cp "$out/few.want" "$out/few.$kind.whole"
    fi
    [ -z "$copy" ] || [ "$(wc -l < "$out/few.want")" = 100 ] || fail "$kind: The Sleuth Kit reads $(wc -l < "$out/few.want") of 100 files"
    for mode in quick deep; do
        tag="few.$kind.$what.$mode"
        backing="$out/few.$kind.img" serve "$tag" $(printf -- '--bad %s ' "${bad[@]}")
        offset=(); [ $mode = quick ] && offset=(--offset 63)
        probe_at "$tag" 10 "" $mode "$dev" ${offset[@]+"${offset[@]}"} --recover "$out/$tag.dest"
        loop_detach "$dev"
        bin_sums "$out/$tag.dest" > "$out/$tag.got"
        echo "$tag: $(comm -12 "$out/$tag.got" "$out/few.sums" | wc -l) of 100 recovered whole, the oracle $(wc -l < "$out/few.want")"
        [ -z "$(comm -23 "$out/few.want" "$out/$tag.got")" ] ||
            fail "$tag: $(comm -23 "$out/few.want" "$out/$tag.got" | wc -l) of the files The Sleuth Kit reads whole were not recovered whole"
    done
done
[ -z "${VANISH_FEW:-}" ] || { echo "scan_image vanish: only the bad-block rows matching '$VANISH_FEW' ran"; exit 0; }

# The same files on NTFS (mkntfs, ntfs-3g) and exFAT (mkfs.exfat, exfat-fuse)
# disks laid out alike (the volume at sector 2048).
# disk_of KIND: $out/KIND.disk.img from $out/small.
disk_of() {
    local part="$out/$1.part.img" m="$out/$1.mnt"
    truncate -s 64M "$part"
    mkdir -p "$m"
    case $1 in
        ntfs) mkntfs -q -Q -F -p 2048 -L FAILING "$part" >/dev/null 2>&1 && ntfs-3g "$part" "$m" ;;
        # exfat-fuse mounts block devices only.
        exfat) mkfs.exfat -L FAILING "$part" >/dev/null && loop_attach "$part" && mount.exfat-fuse "$loop_dev" "$m" ;;
    esac || fail "$1: the volume could not be made or mounted"
    cp -r "$out/small"/* "$m"/ && fusermount -u "$m" || fail "$1: the files could not be placed"
    [ $1 = exfat ] && loop_detach "$loop_dev"
    truncate -s 160M "$out/$1.disk.img"
    echo "start=2048, size=131072, type=7" | sfdisk -q "$out/$1.disk.img"
    dd if="$part" of="$out/$1.disk.img" bs=1M seek=1 conv=notrunc status=none
    rm -f "$part"
}
disk_of ntfs
disk_of exfat
# One unreadable 4 KiB in a structure the scans read costs only the files it
# holds, quick and deep: every file The Sleuth Kit reads whole with that
# block zeroed is recovered, its original. A quick scan that could not read
# part of the NTFS file table says so: exit 1, "scan ended with".
# Places: $MFT records 0-3 ($MFTMirr answers for them), 100-103 and 100-115,
# $MFTMirr, the index block of a folder (d1), the boot sector (its backup in
# the volume's last sector answers, and the log says it was read).
ntfs_at="$(python3 - "$out/ntfs.disk.img" <<'PY2'
import struct, sys
with open(sys.argv[1], "rb") as f:
    f.seek(1 << 20); b = f.read(512)
cluster = struct.unpack_from("<H", b, 11)[0] * b[13]
print((1 << 20) + struct.unpack_from("<Q", b, 0x30)[0] * cluster, (1 << 20) + struct.unpack_from("<Q", b, 0x38)[0] * cluster, cluster)
PY2
)"
read -r mft mirr ntfs_cluster <<<"$ntfs_at"
d1="$(fls -o 2048 "$out/ntfs.disk.img" | awk -F'\t' '$2 == "d1" { split($1, a, " "); sub(/:$/, "", a[2]); print a[2] }')"
d1_index="$(istat -o 2048 "$out/ntfs.disk.img" "${d1%%-*}" | sed -n '/^Type: \$INDEX_ALLOCATION/{n;p}' | awk '{ print $1 }')"
[ -n "$d1_index" ] || fail "ntfs: the folder d1 has no index block"
for row in "mft0 $mft:4096" "mft100 $((mft + 100 * 1024)):4096" "mft100-115 $((mft + 100 * 1024)):16384" \
           "mirr $mirr:4096" "index $(((1 << 20) + d1_index * ntfs_cluster)):4096" "boot $((1 << 20)):4096"; do
    read -r place bad <<<"$row"
    # The Sleuth Kit reads no file without records 0-3 or the boot sector:
    # there every file is expected, as $MFTMirr and the backup keep them.
    zero="$bad"; [ $place = mft0 ] || [ $place = boot ] && zero=""
    DISK="$out/ntfs.disk.img" expected $zero > "$out/ntfs.$place.want"
    for mode in quick deep; do
        tag="bad.ntfs.$place.$mode"
        DISK="$out/ntfs.disk.img" serve "$tag" --bad "$bad"
        offset=(); [ $mode = quick ] && offset=(--offset 2048)
        probe_at "$tag" 0 "" $mode "$dev" ${offset[@]+"${offset[@]}"} --recover "$out/$tag.dest"
        loop_detach "$dev"
        missing="$(comm -23 "$out/ntfs.$place.want" <(recovered "$out/$tag.dest") | wc -l)"
        echo "$tag: $(recovered "$out/$tag.dest" | wc -l) recovered whole, of the $(wc -l < "$out/ntfs.$place.want") The Sleuth Kit reads"
        [ "$missing" = 0 ] || fail "$tag: $missing of the files The Sleuth Kit reads with the block zeroed were not recovered"
        [ $mode != quick ] || [ $place != boot ] || grep -q "NTFS boot sector unreadable: its backup" "$out/$tag.err" ||
            fail "$tag: the log does not say the backup boot sector was read"
        if [ $mode = quick ] && [ "${place#mft1}" != "$place" ]; then
            [ $status = 1 ] && grep -q "scan ended with" "$out/$tag.err" || fail "$tag: the unreadable records were not said (exit $status)"
        fi
    done
done
# Through the facade: a quick scan of the whole disk saved across a 2 s
# silence, the save loaded and recovered (the first block readable here:
# the kernel lists the partition from it).
tag=failing.load
serve "$tag" --bad $((160 * mib - 4096)):4096 --bad $((3 * mib)):$mib
loop_detach "$dev"
loop_attach -r -P "$served" || fail "$tag: no loop device"
dev="$loop_dev"
probe_at "$tag.save" "scan volumes" "touch '$flag'; (sleep 2; rm -f '$flag') &" quick "$dev" --services --save "$out/$tag.rsf"
! grep -q "stopped answering" "$out/$tag.save.err" || fail "$tag: a disk silent for 2 s was called gone"
[ -s "$out/$tag.rsf" ] || fail "$tag: nothing saved: $(tail -n 3 "$out/$tag.save.err")"
"$probe" load "$out/$tag.rsf" --device "$dev" --recover "$out/$tag.dest" > "$out/$tag.txt" 2> "$out/$tag.err" || true
! grep -q "stopped answering" "$out/$tag.err" || fail "$tag: a disk that answers was called gone"
diff "$out/data.want" <(recovered "$out/$tag.dest") >&2 ||
    fail "$tag: recovered $(recovered "$out/$tag.dest" | wc -l) files whole after the load, not $(wc -l < "$out/data.want")"
echo "$tag: $(recovered "$out/$tag.dest" | wc -l) of 200 recovered whole after a load"
loop_detach "$dev"
# The system's word: a node of the run's own removed mid-scan while the disk
# answers nowhere ends the scan at once (long before a silence would).
tag=failing.node
serve "$tag" $edges
node="$out/$tag.node"
mknod "$node" b "$((16#$(stat -c %t "$dev")))" "$((16#$(stat -c %T "$dev")))"
probe_at "$tag" 10 "touch '$flag'; rm -f '$node'" deep "$node"
[ $status = 1 ] || fail "$tag: exit $status, not 1"
grep -q "the device stopped answering" "$out/$tag.err" || fail "$tag: not told the device stopped answering"
[ $((SECONDS - acted_at)) -lt 20 ] || fail "$tag: the scan ended $((SECONDS - acted_at)) s after the node went"
echo "$tag: $(grep 'scan ended at' "$out/$tag.err") $((SECONDS - acted_at)) s after the node went"
loop_detach "$dev"
# A journaled HFS+ volume (hfs_synth.py) at 2048 of a disk whose MBR entry
# is the volume's: its extents tree's header node unreadable, or (quick) the
# 4 KiB holding its volume header: the alternate one at the entry's end
# answers, so every file is expected (The Sleuth Kit opens no volume without
# its header) and the log says the alternate was read. Files are
# told by their bytes: "sha256" of each The Sleuth Kit reads whole with the
# block zeroed, against those recovered (each one of the volume's).
python3 "$src/tests/fixtures/hfs_synth.py" "$out/hfs.part.img" "$out/hfs.manifest" --block-size 4096 --journal ||
    fail "hfs: the volume could not be made"
truncate -s 160M "$out/hfs.disk.img"
echo "start=2048, size=$(( $(stat -c %s "$out/hfs.part.img") / 512 )), type=af" | sfdisk -q "$out/hfs.disk.img"
dd if="$out/hfs.part.img" of="$out/hfs.disk.img" bs=1M seek=1 conv=notrunc status=none
awk -F'\t' '$2 == "L" { print $1 }' "$out/hfs.manifest" | sort -u > "$out/hfs.sums"
hfs_at="$(python3 - "$out/hfs.part.img" <<'PY2'
import struct, sys
with open(sys.argv[1], "rb") as f:
    f.seek(1024); h = f.read(512)
block = struct.unpack_from(">I", h, 40)[0]
# The first block of the extents file: its header node.
print((1 << 20) + struct.unpack_from(">I", h, 0xC0 + 16)[0] * block)
PY2
)"
hfs_extents="$hfs_at"
hfs_sums() { sort -u | comm -12 - "$out/hfs.sums"; }
for row in "extents.header $hfs_extents:4096" "header $((1 << 20)):4096"; do
    read -r place bad <<<"$row"
    cp "$out/hfs.disk.img" "$out/zeroed.img"
    [ $place = header ] ||
        dd if=/dev/zero of="$out/zeroed.img" bs=1 seek="${bad%:*}" count="${bad#*:}" conv=notrunc status=none
    rm -rf "$out/zeroed.files"
    tsk_recover -a -o 2048 "$out/zeroed.img" "$out/zeroed.files" >/dev/null || true
    find "$out/zeroed.files" -type f -exec sha256sum {} + | cut -d' ' -f1 | hfs_sums > "$out/hfs.$place.want"
    rm -rf "$out/zeroed.files"
    rm -f "$out/zeroed.img"
    # The deep scan meets the alternate header only after the catalog, so it
    # reads the volume's trees (overflow extents, compressed forks) without it.
    modes="quick deep"; [ $place = header ] && modes=quick
    for mode in $modes; do
        tag="bad.hfs.$place.$mode"
        DISK="$out/hfs.disk.img" serve "$tag" --bad "$bad"
        offset=(); [ $mode = quick ] && offset=(--offset 2048)
        probe_at "$tag" 0 "" $mode "$dev" ${offset[@]+"${offset[@]}"} --recover "$out/$tag.dest"
        loop_detach "$dev"
        find "$out/$tag.dest" -type f -exec sha256sum {} + | cut -d' ' -f1 | hfs_sums > "$out/$tag.got"
        missing="$(comm -23 "$out/hfs.$place.want" "$out/$tag.got" | wc -l)"
        echo "$tag: $(wc -l < "$out/$tag.got") recovered whole, of the $(wc -l < "$out/hfs.$place.want") The Sleuth Kit reads"
        [ "$missing" = 0 ] || fail "$tag: $missing of the files The Sleuth Kit reads with the block zeroed were not recovered"
        [ $place != header ] || grep -q "alternate header" "$out/$tag.err" ||
            fail "$tag: the log does not say the alternate volume header was read"
    done
done

# A deep scan of the disk grown to 2 GiB (its files in its first 10 MB)
# whose device shrank to half, or was cut to nothing, after it read past
# every file lists every file placed; the one that shrank gives every file
# back, each lying below its new end. The scan of 2 GiB lasts long enough
# to be cut where the row says, beside other runs.
# Through the facade too, saved: the save is marked unfinished.
# With the memory for what the scan keeps lowered to 64 KiB (less than one
# FAT), the rest kept in an unnamed file of the user's cache folder.
# NTFS, exFAT and HFS+ keep their file records, folders and catalog leaves
# for the build, so their rows fail when those are no longer kept. The HFS+
# volume's files are not those placed: they are what a whole deep scan of
# it lists, by name and size.
hfs_listed() { awk -F'\t' '$1 == 31 && $2 == "L" { n = split($4, p, "/"); print p[n] "\t" $3 }' "$1" | sort -u; }
"$probe" deep "$out/hfs.disk.img" > "$out/hfs.whole.txt" 2>/dev/null || fail "hfs: the whole deep scan failed"
hfs_listed "$out/hfs.whole.txt" > "$out/hfs.placed"
[ "$(wc -l < "$out/hfs.placed")" -gt 100 ] || fail "hfs: a whole deep scan lists $(wc -l < "$out/hfs.placed") files"
for row in shrink:1G:50:: cut:0:50:: cut.services:0:29:--services: cut.spilled:0:50::65536 \
           ntfs.cut:0:50:: exfat.cut:0:50:: hfs.cut:0:50::; do
    IFS=: read -r how size at services kept <<<"$row"
    tag="failing.$how"
    disk="$out/disk.img"; [ "${how%.cut}" != "$how" ] && disk="$out/${how%.cut}.disk.img"
    cp --sparse=always "$disk" "$out/$tag.img"
    truncate -s 2G "$out/$tag.img"
    loop_attach -r "$out/$tag.img" || fail "$tag: no loop device"
    dev="$loop_dev"
    save=(); [ -n "$services" ] && save=(--services --save "$out/$tag.rsf")
    [ -n "$kept" ] && save+=(--kept-limit "$kept")
    [ $how = shrink ] && save+=(--recover "$out/$tag.dest")
    XDG_CACHE_HOME="$out/$tag.cache" \
        probe_at "$tag" $at "truncate -s $size '$out/$tag.img'; losetup -c '$dev'" deep "$dev" ${save[@]+"${save[@]}"}
    [ -z "$(ls -A "$out/$tag.cache/salvor" 2>/dev/null)" ] || fail "$tag: files left in the cache folder"
    [ $status = 1 ] || fail "$tag: exit $status, not 1"
    if [ $how = shrink ]; then
        diff "$out/all.want" <(recovered "$out/$tag.dest") >&2 ||
            fail "$tag: recovered $(recovered "$out/$tag.dest" | wc -l) files whole below the new end, not 200"
    fi
    if [ -n "$services" ]; then
        [ -s "$out/$tag.rsf" ] || fail "$tag: nothing saved"
        [ "$(od -An -tu4 -j24 -N4 "$out/$tag.rsf" | tr -d ' ')" = 2 ] || fail "$tag: the save is not marked unfinished"
    fi
    grep -q "scan ended at [0-9]*%" "$out/$tag.err" || fail "$tag: not told how far the scan got"
    if [ $how = hfs.cut ]; then
        left="$(comm -23 "$out/hfs.placed" <(hfs_listed "$out/$tag.txt") | wc -l)"
        [ "$left" = 0 ] || fail "$tag: $left of the $(wc -l < "$out/hfs.placed") files a whole scan lists are not listed"
        echo "$tag: $(grep 'scan ended at' "$out/$tag.err"), every one of the $(wc -l < "$out/hfs.placed") listed"
    else
        diff "$out/placed.tsv" <(listed "$out/$tag.txt") >&2 || fail "$tag: $(listed "$out/$tag.txt" | wc -l) of 200 files listed"
        echo "$tag: $(grep 'scan ended at' "$out/$tag.err"), $(listed "$out/$tag.txt" | wc -l) of 200 listed"
    fi
    loop_detach "$dev"
done


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
(cd "$out/src" && find . -type f -printf '%P\t%s\n' | sort) > "$out/src.tsv"
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
    # A device of this run's own, however many other runs attached beside it.
    loop_attach -r "$copy" || fail "$tag: no loop device"
    local dev="$loop_dev"
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
    loop_detach "$dev"
}

for kind in fat32 ntfs; do
    for mode in quick deep; do
        tag="$kind.$mode"
        run $kind $mode "$tag" "progress 10"
        files="$(tail -n 1 "$out/$tag.txt" | sed -n 's/.* files=\([0-9]*\) .*/\1/p')"
        [ -n "$files" ] || fail "$tag: $(tail -n 1 "$out/$tag.txt")"
        # What is listed is what was placed, as far as the scan read: a quick
        # scan cut at a tenth has not read every folder; a deep one may have
        # read every file record before the cut (an NTFS MFT lies first).
        [ $mode = deep ] || [ "$files" -lt 20000 ] || fail "$tag: $(tail -n 1 "$out/$tag.txt")"
        [ -z "$(comm -23 <(listed "$out/$tag.txt") "$out/src.tsv")" ] ||
            fail "$tag: files listed that were not placed: $(comm -23 <(listed "$out/$tag.txt") "$out/src.tsv" | head -n 3)"
        grep -q "scan ended at [0-9]*%" "$out/$tag.err" || fail "$tag: not told how far the scan got"
        ended="$(sed -n 's/.*scan ended at \([0-9]*\)%.*/\1/p' "$out/$tag.err" | head -n 1)"
        [ "$ended" -lt 100 ] || fail "$tag: cut at 10%, told the scan ended at $ended%"
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
