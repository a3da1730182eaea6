#!/usr/bin/env bash
# scan_image --services on cards without a partition table, under 8 MiB: a
# FAT12 card whose boot code reads as partition entries with bad boot flags
# and a 6 MiB NTFS card are listed as disks; their quick and deep scans list
# what fls lists (names with leading dots and lower-case 8.3 names as stored;
# fls shows an erased 8.3 name's lost first letter as "_", the scan as "#";
# the carver's finds aside) and recover every file, deleted ones too, byte
# for byte. Public 6 MiB exFAT samples are listed as the bare probe lists
# them. A recovery with files that cannot be read (the card cut short) exits
# 1, after a scan and after loading its saved result. As root, the cards
# attached read-only as loop devices give the same listings and bytes
# (otherwise the test ends as skipped, 77, once the rest has passed).
# Usage: scan_image_cards.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@" cards
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image cards: $*" >&2; exit 1; }
command -v fls >/dev/null || fail "missing 'fls': install the Debian package 'sleuthkit'"
command -v python3 >/dev/null || fail "missing 'python3': install the Debian package 'python3'"
d="$fixtures/cards"

# Every file of the manifest recovered byte for byte at its path (the
# erased first letter of an 8.3 name aside).
same_bytes() {
    python3 - "$1" "$2" <<'PY'
import hashlib, os, sys
root, manifest = sys.argv[1], sys.argv[2]
got = {}
for top in os.listdir(root):                       # <kind>_0001/<volume>/...
    for vol in os.listdir(os.path.join(root, top)):
        base = os.path.join(root, top, vol)
        for dirpath, _, files in os.walk(base):
            for f in files:
                rel = os.path.relpath(os.path.join(dirpath, f), base)
                got[rel] = hashlib.sha256(open(os.path.join(dirpath, f), "rb").read()).hexdigest()
bad = 0
for line in open(manifest):
    sha, path = line.rstrip("\n").split("  ", 1)
    head, name = os.path.split(path)
    erased = os.path.join(head, "#" + name[1:])
    found = got.get(path, got.get(erased))
    if found != sha:
        print("not recovered byte for byte:", path, file=sys.stderr)
        bad += 1
sys.exit(1 if bad else 0)
PY
}

check_card() { # NAME DEVICE-OR-IMAGE TAG [MODE]
    local name="$1" dev="$2" tag="$3" mode="${4:-quick}"
    "$probe" "$mode" "$dev" --services --recover "$out/$tag.rec" > "$out/$tag.txt" 2>"$out/$tag.err" ||
        { cat "$out/$tag.err" >&2; fail "$tag: --services failed"; }
    tail -n 1 "$out/$tag.txt" | grep -q '^recovered=8 failed=0 ' || fail "$tag: $(tail -n 1 "$out/$tag.txt")"
    head -n -2 "$out/$tag.txt" | awk -F'\t' '$1 != 34' > "$out/$tag.list"
    diff <(fls_names "$d/$name.img") <(scan_names "$out/$tag.list") >&2 || fail "$tag: listing differs from fls"
    same_bytes "$out/$tag.rec" "$d/$name.sha256.txt" || fail "$tag: recovered bytes differ"
}
for name in fat_card ntfs_card; do
    check_card "$name" "$d/$name.img" "$name"
    # The deep scan rebuilds the same tree from the sectors (carved files aside).
    check_card "$name" "$d/$name.img" "$name.deep" deep
done
for tag in fat_card fat_card.deep; do
    grep -qx $'32\tL\t3000\tletter.pdf' "$out/$tag.list" || fail "$tag: letter.pdf not listed in lower case"
done

# Public 6 MiB exFAT samples by Windows whose boot code reads as four 2 TB
# entries with boot flags 0xff: listed through the services as the bare
# probe lists the volume.
for sample in exfat_win win_exfat_7; do
    gzip -dc "$src/tests/data/dfir_ntfs/$sample.raw.gz" > "$out/$sample.raw"
    "$probe" quick "$out/$sample.raw" > "$out/$sample.bare" 2>/dev/null || fail "$sample: bare scan failed"
    "$probe" quick "$out/$sample.raw" --services > "$out/$sample.services" 2>/dev/null || fail "$sample: not listed"
    [ "$(wc -l < "$out/$sample.bare")" -gt 1 ] || fail "$sample: nothing found"
    diff <(head -n -1 "$out/$sample.bare" | sort) <(head -n -1 "$out/$sample.services" | sort) >&2 ||
        fail "$sample: the services list otherwise than the bare probe"
done

# The card cut short: the files past its end fail, and so does the run.
cp "$d/fat_card.img" "$out/cut.img"
truncate -s 48K "$out/cut.img"
if "$probe" quick "$out/cut.img" --services --recover "$out/cut.rec" > "$out/cut.txt" 2>/dev/null; then
    fail "a recovery with failed files exited 0: $(tail -n 1 "$out/cut.txt")"
fi
grep -q '^recovered=[0-9]* failed=[1-9]' "$out/cut.txt" || fail "no failed files on the cut card"
"$probe" quick "$out/cut.img" --services --save "$out/cut.rsf" > /dev/null 2>&1 || fail "the cut card's scan was not saved"
if "$probe" load "$out/cut.rsf" --device "$out/cut.img" --recover "$out/cut.load" > "$out/cut.load.txt" 2>/dev/null; then
    fail "a recovery with failed files after load exited 0: $(tail -n 1 "$out/cut.load.txt")"
fi

if [ "$(id -u)" -ne 0 ]; then echo "scan_image cards: loop devices skipped, needs root"; exit 77; fi
command -v losetup >/dev/null || fail "missing 'losetup': install the Debian package 'mount'"
. "$src/tests/support/loop.sh"
trap 'loop_detach_all; rm -rf "$out"' EXIT
for name in fat_card ntfs_card; do
    loop_attach -r "$d/$name.img" || fail "$name: no loop device"
    dev="$loop_dev"
    check_card "$name" "$dev" "$name.loop"
    diff "$out/$name.list" "$out/$name.loop.list" >&2 || fail "$name: $dev lists otherwise than the image"
done
echo "scan_image cards: ok"
