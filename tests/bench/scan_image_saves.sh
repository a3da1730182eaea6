#!/usr/bin/env bash
# Saved scans through the facade on data as users have it:
# - a FAT32 image cut to 20 MiB of its 64 MiB (fat32_cut fixture) saves and
#   loads: both files listed, A.TXT recovered byte-exact, the cut BIG.BIN
#   counted as failed, as after the scan itself;
# - a new save without its Checksums frame, or with that frame's GUID
#   changed, is damaged (code 8);
# - 100 seeded one-byte changes of the save: none loads with exit 0;
# - NTFS sizes (ntfs_sizes fixture): a file initialized to 2500 of its 6000
#   bytes, old bytes past that, recovers with zeros there after the scan and
#   after a load; a 1 GiB sparse file on a 32 MiB volume saves and loads;
# - cut images and disks (cut_images fixture), below.
# Usage: scan_image_saves.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
command -v python3 >/dev/null || { echo "missing tool 'python3': install the Debian package 'python3'" >&2; exit 1; }
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@" fat32_cut ntfs_sizes cut_images
img="$fixtures/fat32_cut/fat32_cut.img"
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image saves: $*" >&2; exit 1; }

# The scan recovers A.TXT and fails on the cut file (exit 1); so does the load.
if "$probe" quick "$img" --services --save "$out/cut.rsf" --recover "$out/live" > "$out/scan" 2> "$out/err"; then
    fail "the cut file's recovery did not fail"
fi
grep -q '^recovered=1 failed=1 ' "$out/scan" || fail "scan: $(tail -n 1 "$out/scan")"
[ -s "$out/cut.rsf" ] || fail "the save failed: $(tail -n 1 "$out/err")"
if "$probe" load "$out/cut.rsf" --device "$img" --recover "$out/loaded" > "$out/load" 2> "$out/err"; then
    fail "the cut file's recovery after the load did not fail"
fi
grep -q '^load failed' "$out/err" && fail "$(grep '^load failed' "$out/err")"
for f in A.TXT BIG.BIN; do grep -q $'\t'"$f\$" "$out/load" || fail "the load lost $f"; done
grep -q '^recovered=1 failed=1 ' "$out/load" || fail "load: $(tail -n 1 "$out/load")"
[ "$(sha256sum < "$out/loaded/Fat_0001/CUTCARD/A.TXT" | cut -c1-64)" = "$(cat "$fixtures/fat32_cut/a.sha256")" ] ||
    fail "A.TXT differs after the load"

expect_damaged() { # expect_damaged WHAT FILE
    if "$probe" load "$2" --device "$img" > /dev/null 2> "$out/err"; then fail "$1: exited 0"; fi
    grep -qx "load failed: code 8" "$out/err" || fail "$1: $(tail -n 1 "$out/err")"
}
# edit.py MODE IN OUT: the Checksums frame (the last) cut off, or its GUID's first byte changed.
cat > "$out/edit.py" <<'PY'
import sys
mode, src, dst = sys.argv[1:]
b = bytearray(open(src, "rb").read())
sign = bytes.fromhex("EAF4B31C0543B64AB4B8244A33D913BB")
sums = bytes.fromhex("F1C8AC2922E9DC46902141 59A2F284C0".replace(" ", ""))
at = b.rfind(sign + sums)
assert at > 0 and at + 36 + int.from_bytes(b[at + 32:at + 36], "little") == len(b)
if mode == "cut":
    del b[at:]
else:
    b[at + 16] ^= 0x01
open(dst, "wb").write(b)
PY
python3 "$out/edit.py" cut "$out/cut.rsf" "$out/nosums.rsf"
expect_damaged "no Checksums frame" "$out/nosums.rsf"
python3 "$out/edit.py" rename "$out/cut.rsf" "$out/renamed.rsf"
expect_damaged "the Checksums frame renamed" "$out/renamed.rsf"

size=$(stat -c %s "$out/cut.rsf")
for i in $(seq 1 100); do
    python3 - "$out/cut.rsf" "$out/changed.rsf" "$i" <<'PY'
import random, sys
src, dst, i = sys.argv[1], sys.argv[2], int(sys.argv[3])
r = random.Random(6200 + i)
b = bytearray(open(src, "rb").read())
at = r.randrange(len(b))
b[at] ^= r.randrange(1, 256)
open(dst, "wb").write(b)
print(at, file=open(dst + ".at", "w"))
PY
    if "$probe" load "$out/changed.rsf" --device "$img" > /dev/null 2>&1; then
        fail "a byte changed at $(cat "$out/changed.rsf.at") of $size loads with exit 0"
    fi
done
sizes="$fixtures/ntfs_sizes"
"$probe" quick "$sizes/init.img" --services --save "$out/init.rsf" --recover "$out/init.live" > /dev/null 2>&1 ||
    fail "ntfs init: the scan's recovery failed"
"$probe" load "$out/init.rsf" --device "$sizes/init.img" --recover "$out/init.loaded" > /dev/null 2>&1 ||
    fail "ntfs init: the load's recovery failed"
for r in live loaded; do
    f="$(find "$out/init.$r" -name 'hard link number 01 *')"
    [ -f "$f" ] || fail "ntfs init: the file was not recovered ($r)"
    [ "$(sha256sum < "$f" | cut -c1-64)" = "$(cat "$sizes/target.sha256")" ] ||
        fail "ntfs init: not zeros past the initialized size ($r)"
done
"$probe" quick "$sizes/sparse1g.img" --services --save "$out/sparse.rsf" > "$out/sparse.scan" 2> /dev/null ||
    fail "ntfs sparse: the scan or save failed"
"$probe" load "$out/sparse.rsf" --device "$sizes/sparse1g.img" > "$out/sparse.load" 2> "$out/err" ||
    fail "ntfs sparse: $(tail -n 1 "$out/err")"
grep -qx $'35\tL\t1073741824\tsparse.bin' "$out/sparse.load" || fail "ntfs sparse: the 1 GiB file was not loaded"
diff <(grep -v '^nodes=' "$out/sparse.scan" | sort) <(grep -v '^nodes=' "$out/sparse.load" | sort) >&2 ||
    fail "ntfs sparse: the loaded listing differs"

# Cut images (cut_images fixture): every file a scan of a cut image counts
# recovered, quick and deep, straight (by the probe alone and through the
# facade) and after a save and load, is the file the whole image gives at its
# path (or, found elsewhere, one of its files); the rest are counted failed. A
# read past the device's end never passes for data: NTFS compressed units,
# sparse files' runs, HFS+ resource forks (a stored block cut inside), exFAT
# and FAT files.
cuts="$fixtures/cut_images"
# judge LISTING DIR REFERENCE [ERRORS]: "exact=E other=O" of DIR's non-empty
# files against REFERENCE. With the probe's own ERRORS, each file it does not
# name damaged must be exact; else (the facade tells counts only) E must
# reach the recovered count and O stay within the failed one.
cat > "$out/judge.py" <<'PY'
import hashlib, os, re, sys
listing, got, ref = sys.argv[1:4]
def files(d):
    out = {}
    for root, _, names in os.walk(d):
        for n in names:
            p = os.path.join(root, n)
            if os.path.getsize(p) > 0:
                out[os.path.relpath(p, d)] = hashlib.sha256(open(p, "rb").read()).hexdigest()
    return out
want, have = files(ref), files(got)
text = open(listing).read()
m = re.search(r"(?:^recovered=| written=)(\d+) failed=(\d+)", text, re.M)
recovered, failed = int(m.group(1)), int(m.group(2))
shas = set(want.values())
good = {p for p, h in have.items() if (want[p] == h if p in want else h in shas)}
print(f"recovered={recovered} failed={failed} exact={len(good)} other={len(have) - len(good)}")
if len(sys.argv) > 4:
    told = [l.split(": ", 2)[-1].rstrip("\n") for l in open(sys.argv[4]) if l.startswith("scan_image: damaged")]
    wrong = [p for p in have if p not in good and not any(p.endswith("/" + t) for t in told)]
    print("not failed yet not the file:", wrong[:5])
    sys.exit(1 if wrong else 0)
sys.exit(0 if len(good) >= recovered and len(have) - len(good) <= failed else 1)
PY
# check_cut NAME MODE MIN_FAILED [services]: the cut image against its whole
# one, under the same name (a disk through the facade only: the probe alone
# scans one volume).
check_cut() {
    local name="$1" mode="$2" least="$3" tag="$1.$2" run verdict listing runs=(bare services)
    [ -z "${4:-}" ] || runs=(services)
    mkdir -p "$out/whole"
    ln -sf "$(readlink -f "$cuts/$name.whole.img")" "$out/whole/$name.img"
    for run in "${runs[@]}"; do
        local args=(--recover "$out/$tag.$run.ref")
        [ "$run" = bare ] || args+=(--services)
        # A few deleted files of the whole image fail as well.
        "$probe" "$mode" "$out/whole/$name.img" "${args[@]}" > /dev/null 2>&1 || true
        [ -d "$out/$tag.$run.ref" ] || fail "$tag: nothing recovered from the whole image ($run)"
    done
    [ -n "${4:-}" ] || "$probe" "$mode" "$cuts/$name.img" --recover "$out/$tag.bare" > "$out/$tag.bare.txt" \
        2> "$out/$tag.bare.err" || true
    "$probe" "$mode" "$cuts/$name.img" --services --save "$out/$tag.rsf" --recover "$out/$tag.services" \
        > "$out/$tag.services.txt" 2>/dev/null || true
    "$probe" load "$out/$tag.rsf" --device "$cuts/$name.img" --recover "$out/$tag.loaded" > "$out/$tag.loaded.txt" \
        2> "$out/err" || true
    if grep -q '^load failed' "$out/err"; then fail "$tag: $(grep '^load failed' "$out/err")"; fi
    for run in "${runs[@]}" loaded; do
        local ref="$out/$tag.services.ref" errors=()
        [ "$run" != bare ] || { ref="$out/$tag.bare.ref"; errors=("$out/$tag.bare.err"); }
        verdict="$(python3 "$out/judge.py" "$out/$tag.$run.txt" "$out/$tag.$run" "$ref" ${errors[@]+"${errors[@]}"})" ||
            fail "$tag ($run): a file counted recovered is not the whole image's: $verdict"
        echo "$tag ($run): $(head -n 1 <<<"$verdict")"
        [ "$(sed -n '1s/.* failed=\([0-9]*\) .*/\1/p' <<<"$verdict")" -ge "$least" ] ||
            fail "$tag ($run): fewer than $least failed: $verdict"
    done
}
for mode in quick deep; do
    check_cut ntfs_sparse "$mode" 3
    check_cut ntfs_unit "$mode" 2
    check_cut hfs_forks "$mode" 3
    check_cut hfs_stored "$mode" 3
    check_cut exfat "$mode" 100
    check_cut fat16 "$mode" 5
done

# Disks cut short keep their tables (cut_images fixture): GPT disks whose
# backup table and last usable sector lie past the end, of two FAT16
# partitions (cut to 73 and 54 MiB) and of one exFAT partition (cut to 30
# MB), and the same FAT16 disk under MBR. The quick scan lists what fls lists
# in each partition mmls shows, as an image file and (as root) as a read-only
# loop device, and recovers, straight and after a load, the whole disk's files.
for tool in fls mmls; do
    command -v $tool >/dev/null || fail "missing '$tool': install the Debian package 'sleuthkit'"
done
# oracle IMAGE: fls of each partition mmls lists.
oracle() {
    mmls "$1" | awk '$2 ~ /^[0-9:]+$/ { print $3 + 0 }' | sort -un | while read -r start; do
        fls_names -o "$start" "$1" 2>/dev/null || true
    done | sort
}
check_listing() { # NAME DEVICE TAG FILES
    "$probe" quick "$2" --services > "$out/$3.list" 2> /dev/null || fail "$3: --services failed"
    grep -q "^nodes=[0-9]* files=$4 " "$out/$3.list" || fail "$3: not $4 files: $(tail -n 1 "$out/$3.list")"
    diff <(oracle "$cuts/$1.img") <(head -n -1 "$out/$3.list" | scan_names /dev/stdin) >&2 ||
        fail "$3: listing differs from mmls + fls"
    echo "$3: $(tail -n 1 "$out/$3.list")"
}
disks=(gpt_fat73:3 gpt_fat54:3 mbr_fat73:3 gpt_exfat:355)
for disk in "${disks[@]}"; do
    IFS=: read -r name files <<<"$disk"
    check_listing "$name" "$cuts/$name.img" "$name" "$files"
    check_cut "$name" quick 0 services
done
if [ "$(id -u)" -ne 0 ]; then echo "scan_image saves: loop devices skipped, needs root"; exit 77; fi
command -v losetup >/dev/null || fail "missing 'losetup': install the Debian package 'mount'"
. "$src/tests/support/loop.sh"
trap 'loop_detach_all; rm -rf "$out"' EXIT
for disk in "${disks[@]}"; do
    IFS=: read -r name files <<<"$disk"
    loop_attach -r "$cuts/$name.img" || fail "$name: no loop device"
    dev="$loop_dev"
    check_listing "$name" "$dev" "$name.loop" "$files"
done
echo "scan_image saves: ok"
