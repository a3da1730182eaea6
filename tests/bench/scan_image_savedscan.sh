#!/usr/bin/env bash
# scan_image --save and scan_image load end to end: a quick and a deep scan
# of every file-system fixture (FAT, exFAT, NTFS with resident files and a
# log-rebuilt one, HFS+, APFS) and of carved images (two whose files are all
# carved by label: the packed pictures, the evicted MP3s), saved through the
# facade, load back into the same listing and recover the same bytes; deep
# scans of HFS+ disks whose volumes do not start at sector 0 (compressed
# files among them) recover after a load no file with other bytes than after
# the scan, with the same counts, and their journals' deleted files byte-exact
# and listed deleted after both; files of one name in one folder come back
# under the same numbered names after a load as after the scan; a
# damaged file, a missing one and another device fail with
# "load failed: code N", another device also when it is made alike (same
# name, size and label) and holds volumes of other serials, of every kind.
# Usage: scan_image_savedscan.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
for f in fat16_basic fat_32 exfat_quick ntfs_volumes hfs_synth hfs_deep apfs_disks carve_all carve_audio \
         hostile_names hostile_fat; do
    bash "$src/tests/fixtures/make-fixture" "$f" "$fixtures"
done
img="$fixtures/fat16_basic/fat16_basic.img"
other="$fixtures/fat_32/fat_32.img"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image saved scan: $*" >&2; exit 1; }
sums() { find "$1" -type f -exec sha256sum {} + | cut -c1-64 | sort; }
# round_trip NAME MODE IMAGE: scan → save → load, same listing, same bytes.
round_trip() {
    local name="$1" mode="$2" image="$3" r="$out/$1.$2"
    "$probe" "$mode" "$image" --services --save "$r.rsf" --recover "$r.live" > "$r.scan" 2>/dev/null ||
        fail "$name $mode: --save failed"
    "$probe" load "$r.rsf" --device "$image" --recover "$r.loaded" > "$r.load" 2>/dev/null ||
        fail "$name $mode: load failed"
    diff <(grep -v '^nodes=\|^recovered=' "$r.scan" | sort) <(grep -v '^nodes=\|^recovered=' "$r.load" | sort) >&2 ||
        fail "$name $mode: the loaded listing differs"
    [ -n "$(sums "$r.live")" ] || fail "$name $mode: nothing recovered"
    diff <(sums "$r.live") <(sums "$r.loaded") >&2 || fail "$name $mode: recovered bytes differ after the load"
    rm -rf "$r.live" "$r.loaded"
}
for mode in quick deep; do
    round_trip fat16 "$mode" "$img"
    cp "$out/fat16.$mode.rsf" "$out/$mode.rsf"
    round_trip exfat "$mode" "$fixtures/exfat_quick/exfat_512.img"
    round_trip ntfs_4k "$mode" "$fixtures/ntfs_volumes/ntfs_4k.img"
    round_trip ntfs_4kl "$mode" "$fixtures/ntfs_volumes/ntfs_4kl.img"
    round_trip hfsplus "$mode" "$fixtures/hfs_synth/synth_4096.img"
done
# Files of one name in one folder (a deleted FAT entry beside a live one,
# exFAT namesakes, lost entries of a FAT32 volume whose root is gone) are
# numbered in the order their folder lists them: after a load each name
# holds the bytes it held after the scan, quick and deep.
named_sums() { # "sha256 path" of every file under DIR, sorted (paths past PATH_MAX too)
    python3 - "$1" <<'PY'
import hashlib, os, sys
rows = []
for top, dirs, files, fd in os.fwalk(sys.argv[1]):
    for name in files:
        f = os.open(name, os.O_RDONLY, dir_fd=fd)
        with os.fdopen(f, 'rb') as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        rows.append(digest + ' ' + os.path.relpath(os.path.join(top, name), sys.argv[1]))
print('\n'.join(sorted(rows)))
PY
}
same_names() { # same_names NAME MODE IMAGE
    local name="$1" mode="$2" image="$3" r="$out/names.$1.$2"
    "$probe" "$mode" "$image" --services --save "$r.rsf" --recover "$r.live" > /dev/null 2>&1 || true
    [ -s "$r.rsf" ] || fail "$name $mode: --save failed"
    "$probe" load "$r.rsf" --device "$image" --recover "$r.loaded" > /dev/null 2> "$r.err" || true
    grep -q '^load failed' "$r.err" && fail "$name $mode: $(grep '^load failed' "$r.err")"
    [ -n "$(named_sums "$r.live")" ] || fail "$name $mode: nothing recovered"
    diff <(named_sums "$r.live") <(named_sums "$r.loaded") >&2 ||
        fail "$name $mode: files of one name come back under other names after the load"
    rm -rf "$r.live" "$r.loaded"
}
for mode in quick deep; do
    same_names hostile_fat "$mode" "$fixtures/hostile_names/fat.img"
    same_names hostile_exfat "$mode" "$fixtures/hostile_names/exfat.img"
done
same_names fat32_root_gone deep "$fixtures/hostile_fat/f32_rootFFFFFF0.img"
# same_bytes NAME IMAGE [MANIFEST...]: a deep scan whose recovery fails on some files
# (deleted ones whose data is gone): the load recovers and fails as many, writes
# as many files, and each has the bytes the scan wrote in the same folder; each
# deleted file of the manifests is listed deleted and written byte-exact,
# after the scan and after the load.
same_bytes() {
    local name="$1" image="$2" r="$out/$1"
    shift 2
    "$probe" deep "$image" --services --save "$r.rsf" --recover "$r.live" > "$r.scan" 2>/dev/null || true
    [ -s "$r.rsf" ] || fail "$name: --save failed"
    "$probe" load "$r.rsf" --device "$image" --recover "$r.loaded" > "$r.load" 2> "$r.err" || true
    grep -q '^load failed' "$r.err" && fail "$name: $(grep '^load failed' "$r.err")"
    [ "$(grep -o '^recovered=[0-9]* failed=[0-9]*' "$r.load")" = "$(grep -o '^recovered=[0-9]* failed=[0-9]*' "$r.scan")" ] ||
        fail "$name: the load recovers otherwise: $(tail -n 1 "$r.load") after $(tail -n 1 "$r.scan")"
    grep -q $'	Compressed/lzvn fork.bin$' "$r.load" || fail "$name: no compressed files listed"
    [ "$(find "$r.loaded" -type f | wc -l)" = "$(find "$r.live" -type f | wc -l)" ] ||
        fail "$name: the load writes $(find "$r.loaded" -type f | wc -l) files, the scan $(find "$r.live" -type f | wc -l)"
    # Each file the load wrote holds the bytes of a file the scan wrote in
    # that folder (each folder's files hashed once).
    local f
    f="$(python3 - "$r.loaded" "$r.live" <<'PY'
import hashlib, os, sys
loaded, live = sys.argv[1], sys.argv[2]
def digest(path):
    with open(path, 'rb') as data:
        return hashlib.sha256(data.read()).hexdigest()
there = {}
def folder(rel):
    if rel not in there:
        try:
            there[rel] = {digest(e.path) for e in os.scandir(os.path.join(live, rel)) if e.is_file(follow_symlinks=False)}
        except OSError:
            there[rel] = set()
    return there[rel]
for top, dirs, files in os.walk(loaded):
    dirs.sort()
    rel = os.path.relpath(top, loaded)
    for name in sorted(files):
        path = os.path.join(top, name)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        if digest(path) not in folder(rel):
            print(os.path.join('.', rel, name) if rel != '.' else os.path.join('.', name))
            sys.exit(0)
PY
)"
    [ -z "$f" ] || fail "$name: $f has other bytes after the load"
    # The deleted and the live reused.txt of one folder keep their names.
    while IFS= read -r -d '' f; do
        cmp -s "$r.loaded/$f" "$r.live/$f" || fail "$name: $f holds the other reused.txt after the load"
    done < <(cd "$r.loaded" && find . -type f -name 'reused*.txt' -print0)
    local sha state path id live loaded
    live=$(sums "$r.live"); loaded=$(sums "$r.loaded")
    while IFS=$'\t' read -r sha state path id; do
        [ "$state" = D ] || continue
        grep -q $'^31\tD\t[0-9]*\t'"$path"'$' "$r.load" || fail "$name: $path is not listed deleted after the load"
        grep -qx "$sha" <<< "$live" || fail "$name: $path is not written whole after the scan"
        grep -qx "$sha" <<< "$loaded" || fail "$name: $path is not written whole after the load"
    done < <(cat "$@" /dev/null)
    rm -rf "$r.live" "$r.loaded"
}
for d in two:journaled,second gpt40:journaled changed:changed alone:journaled dots:dots farjournal:; do
    IFS=, read -r -a manifests <<< "${d#*:}"
    manifests=("${manifests[@]/#/$fixtures/hfs_deep/}")
    same_bytes "hfs_deep_${d%%:*}" "$fixtures/hfs_deep/${d%%:*}.img" "${manifests[@]/%/.manifest.txt}"
done
round_trip apfs deep "$fixtures/apfs_disks/gpt_zeroed.img"
round_trip carved deep "$fixtures/carve_all/all_512_random.img"
round_trip carved_pack deep "$fixtures/carve_all/all_pack.img"
round_trip carved_evict deep "$fixtures/carve_audio/mp3_evict_512.img"
"$probe" load "$out/quick.rsf" --device "$img" --search LONG > "$out/search" 2>/dev/null || fail "load --search failed"
grep -qx $'32\tL\t5000\tDocs/A rather long file name.bin' "$out/search" || fail "load --search lost the match"
expect_failure() { # expect_failure WHAT CODE ARGS...
    local what="$1" code="$2"; shift 2
    if "$probe" load "$@" > /dev/null 2> "$out/err"; then fail "$what: exited 0"; fi
    grep -qx "load failed: code $code" "$out/err" || fail "$what: $(tail -n 1 "$out/err")"
}
head -c $(( $(stat -c %s "$out/quick.rsf") - 10 )) "$out/quick.rsf" > "$out/cut.rsf"
expect_failure "a cut file" 8 "$out/cut.rsf" --device "$img"
expect_failure "a missing file" 2 "$out/none.rsf" --device "$img"
expect_failure "another device" 6 "$out/quick.rsf" --device "$other"

# Two cards made alike (same size, label and name; other serials and files):
# a save of the first, loaded with the second attached, is refused, after a
# quick scan (its FAT root) as after a deep one (FAT and carved roots); on
# the first it loads and recovers its own bytes, also with both attached.
bash "$src/tests/fixtures/make-fixture" cards_alike "$fixtures"
alike="$fixtures/cards_alike"
for mode in quick deep; do
    r="$out/alike.$mode"
    "$probe" "$mode" "$alike/one/card.img" --services --save "$r.rsf" > /dev/null 2>&1 || fail "alike $mode: --save failed"
    expect_failure "a card made alike ($mode)" 6 "$r.rsf" --device "$alike/two/card.img"
    "$probe" load "$r.rsf" --device "$alike/one/card.img" --recover "$r.loaded" > "$r.load" 2>/dev/null ||
        fail "alike $mode: the card scanned does not load"
    sums "$r.loaded" | grep -qxF "$(head -n 1 "$alike/one/card.sha256.txt" | cut -c1-64)" ||
        fail "alike $mode: the card's own bytes are not recovered after the load"
    # Both attached, the other listed first: the load takes the card scanned.
    "$probe" load "$r.rsf" --device "$alike/two/card.img" --device "$alike/one/card.img" --recover "$r.both" \
        > "$r.both.txt" 2> "$out/err" || fail "alike $mode, both attached: $(tail -n 1 "$out/err")"
    diff <(sums "$r.loaded") <(sums "$r.both") >&2 || fail "alike $mode, both attached: other bytes recovered"
done
# Every other kind: a copy of the image scanned, under its name in another
# folder, whose volume differs only in what tells it from the scanned one
# (exFAT and NTFS serials, the HFS+ creation date, the APFS container's UUID,
# the first sector of data of a carved image), is refused too.
# changed IMAGE OFFSET COUNT: the copy, with COUNT bytes at OFFSET changed.
changed() {
    mkdir -p "$out/alike"
    local copy="$out/alike/$(basename "$1")"
    cp "$1" "$copy"
    python3 - "$copy" "$2" "$3" <<'PY'
import sys
path, offset, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(path, 'r+b') as f:
    f.seek(offset)
    old = f.read(count)
    f.seek(offset)
    f.write(bytes(b ^ 0x5A for b in old))
PY
    echo "$copy"
}
apfs_at() { # the byte offset of the first APFS container superblock of IMAGE
    python3 - "$1" <<'PY'
import sys
with open(sys.argv[1], 'rb') as f:
    data = f.read()
for at in range(0, len(data) - 4096, 4096):
    if data[at + 32:at + 36] == b'NXSB':
        print(at)
        break
PY
}
for mode in quick deep; do
    expect_failure "exFAT of another serial ($mode)" 6 "$out/exfat.$mode.rsf" --device \
        "$(changed "$fixtures/exfat_quick/exfat_512.img" 100 4)"
    expect_failure "NTFS of another serial ($mode)" 6 "$out/ntfs_4k.$mode.rsf" --device \
        "$(changed "$fixtures/ntfs_volumes/ntfs_4k.img" 72 8)"
    expect_failure "HFS+ made at another time ($mode)" 6 "$out/hfsplus.$mode.rsf" --device \
        "$(changed "$fixtures/hfs_synth/synth_4096.img" 1040 4)"
done
apfs="$fixtures/apfs_disks/gpt_zeroed.img"
expect_failure "APFS of another UUID" 6 "$out/apfs.deep.rsf" --device "$(changed "$apfs" $(( $(apfs_at "$apfs") + 72 )) 16)"
# A disk whose second volume is another one made alike (its creation date
# changed): the load goes on; the first volume's files come back as on the
# disk scanned, the second's fail, none with the other volume's bytes.
counts() { grep -o '^recovered=[0-9]* failed=[0-9]*' "$1"; }
# (Files whose data is gone fail on either disk: the probe then exits 1.)
"$probe" load "$out/hfs_deep_two.rsf" --device "$fixtures/hfs_deep/two.img" --recover "$out/two.same" > "$out/two.same.txt" 2> "$out/err" || true
grep -q '^load failed' "$out/err" && fail "hfs_deep_two: the disk scanned: $(grep '^load failed' "$out/err")"
"$probe" load "$out/hfs_deep_two.rsf" --device "$(changed "$fixtures/hfs_deep/two.img" $((36864 * 512 + 1040)) 4)" \
    --recover "$out/two.other" > "$out/two.other.txt" 2> "$out/err" || true
grep -q '^load failed' "$out/err" && fail "a volume made alike: $(grep '^load failed' "$out/err")"
read -r same_ok same_failed <<< "$(counts "$out/two.same.txt" | tr -c '0-9\n' ' ')"
read -r other_ok other_failed <<< "$(counts "$out/two.other.txt" | tr -c '0-9\n' ' ')"
[ "$other_ok" -gt 0 ] && [ "$other_ok" -lt "$same_ok" ] && [ "$other_failed" -gt "$same_failed" ] ||
    fail "a volume made alike: $(counts "$out/two.other.txt") after $(counts "$out/two.same.txt") on the disk scanned"
while IFS= read -r -d '' f; do
    cmp -s "$out/two.other/$f" "$out/two.same/$f" || fail "a volume made alike: $f has other bytes"
done < <(cd "$out/two.other" && find . -type f -print0)
first_data() { # the byte offset of IMAGE's first sector of more than one byte value
    python3 - "$1" <<'PY'
import sys
with open(sys.argv[1], 'rb') as f:
    at = 0
    while (sector := f.read(512)) and sector.count(sector[:1]) == len(sector):
        at += 512
print(at)
PY
}
carved="$fixtures/carve_all/all_512_random.img"
expect_failure "carved files on another device" 6 "$out/carved.deep.rsf" --device \
    "$(changed "$carved" "$(first_data "$carved")" 16)"

# own_bytes SAVE IMAGE SUMS [IMAGE...]: the save loads with IMAGE first (the
# others attached beside it) and every file of SUMS comes back byte-exact.
own_bytes() {
    local saved="$1" image="$2" list="$3" r="$out/own"; shift 3
    local devices=(--device "$image") d
    for d in "$@"; do devices+=(--device "$d"); done
    rm -rf "$r"
    "$probe" load "$saved" "${devices[@]}" --recover "$r" > "$out/own.txt" 2> "$out/err" ||
        fail "$saved on $image: $(grep -a '^load failed' "$out/err" || tail -n 1 "$out/own.txt")"
    diff <(cut -c1-64 "$list" | sort) <(sums "$r" | grep -xFf <(cut -c1-64 "$list")) >&2 ||
        fail "$saved on $image: the scanned files do not come back byte-exact"
}
# A quick save opens on the disk it was made of: each volume takes its own
# root, and a volume without files (no root) takes none of the others' (an
# empty FAT16 or exFAT partition before one of files, all without label; a
# FAT32 stick partitioned again, whose old volume is listed empty).
alike="$fixtures/cards_alike"
for d in emptyfirst/fat16 emptyfirst/exfat restick/stick; do
    "$probe" quick "$alike/$d.img" --services --save "$out/pair.rsf" --recover "$out/pair.live" > /dev/null 2>&1 ||
        fail "$d: --save failed"
    sums "$out/pair.live" > "$out/pair.sums"
    own_bytes "$out/pair.rsf" "$alike/$d.img" "$out/pair.sums"
    rm -rf "$out/pair.live"
done
# A save written before partition records carried what tells volumes apart
# (old_save.py) opens on its own volume too, and on a card made alike not at
# all: the files' entries there are not as the save says.
python3 "$src/tests/fixtures/old_save.py" "$out/pair.rsf" "$out/pair.old.rsf"
own_bytes "$out/pair.old.rsf" "$alike/restick/stick.img" "$alike/restick/stick.sha256.txt"
"$probe" quick "$alike/emptyfirst/fat16.img" --services --save "$out/pair.rsf" > /dev/null 2>&1 || fail "--save failed"
python3 "$src/tests/fixtures/old_save.py" "$out/pair.rsf" "$out/pair.old.rsf"
own_bytes "$out/pair.old.rsf" "$alike/emptyfirst/fat16.img" "$alike/emptyfirst/fat16.sha256.txt"
for mode in quick deep; do
    python3 "$src/tests/fixtures/old_save.py" "$out/alike.$mode.rsf" "$out/alike.old.rsf"
    expect_failure "an old save on a card made alike ($mode)" 6 "$out/alike.old.rsf" --device "$alike/two/card.img"
    own_bytes "$out/alike.old.rsf" "$alike/one/card.img" "$alike/one/card.sha256.txt"
done
# Where the identity tells nothing apart (FAT cards of serial 0, carved files
# after a first MiB of zeros or 0xFF, or behind the protective MBR two GPT
# sticks share), the files' first sectors do: a save of one loads on it,
# also with the other attached first or second, and is refused on the other.
for mode in quick deep; do
    "$probe" "$mode" "$alike/serial0/one/card.img" --services --save "$out/s0.$mode.rsf" > /dev/null 2>&1 ||
        fail "serial 0 $mode: --save failed"
    expect_failure "a card of serial 0 made alike ($mode)" 6 "$out/s0.$mode.rsf" --device "$alike/serial0/two/card.img"
    own_bytes "$out/s0.$mode.rsf" "$alike/serial0/one/card.img" "$alike/serial0/one/card.sha256.txt"
    own_bytes "$out/s0.$mode.rsf" "$alike/serial0/one/card.img" "$alike/serial0/one/card.sha256.txt" \
        "$alike/serial0/two/card.img"
    own_bytes "$out/s0.$mode.rsf" "$alike/serial0/two/card.img" "$alike/serial0/one/card.sha256.txt" \
        "$alike/serial0/one/card.img"
done
for head in zero ff gpt; do
    "$probe" deep "$alike/carved/$head/one/disk.img" --services --save "$out/carved.$head.rsf" > /dev/null 2>&1 ||
        fail "carved $head: --save failed"
    expect_failure "carved files, another disk ($head)" 6 "$out/carved.$head.rsf" --device \
        "$alike/carved/$head/two/disk.img"
    own_bytes "$out/carved.$head.rsf" "$alike/carved/$head/one/disk.img" "$alike/carved/$head/one/disk.sha256.txt"
done
# With several alike attached, the one scanned is found whichever comes first.
own_bytes "$out/alike.quick.rsf" "$alike/one/card.img" "$alike/one/card.sha256.txt" "$alike/two/card.img"

# Volumes whose identity repeats or tells nothing, told apart by their
# files where they differ, not where they begin alike: cards of serial 0
# whose files begin with one program's 2 KiB, a card formatted again with
# its serial kept, NTFS volumes of one serial. A save of one is refused on
# the other and loads on its own, also with the other given first.
bash "$src/tests/fixtures/make-fixture" cards_marks "$fixtures"
marks="$fixtures/cards_marks"
for mode in quick deep; do
    for d in prolog/%/card again/%/card ntfs/%/vol; do
        one="$marks/${d/\%/one}" two="$marks/${d/\%/two}" r="$out/marks.$mode"
        "$probe" "$mode" "$one.img" --services --save "$r.rsf" > /dev/null 2>&1 || fail "$d $mode: --save failed"
        expect_failure "${d%%/*} on the other ($mode)" 6 "$r.rsf" --device "$two.img"
        own_bytes "$r.rsf" "$one.img" "$one.sha256.txt"
        own_bytes "$r.rsf" "$two.img" "$one.sha256.txt" "$one.img"
    done
done
# other_bytes SAVE SUMS IMAGE...: what the save recovers from the images given
# (when it loads) are files of SUMS, or failed ones (zeros), never others.
other_bytes() {
    local saved="$1" list="$2" r="$out/other" f sum; shift 2
    local devices=() d
    for d in "$@"; do devices+=(--device "$d"); done
    rm -rf "$r"
    "$probe" load "$saved" "${devices[@]}" --recover "$r" > /dev/null 2>&1 || true
    while IFS= read -r -d '' f; do
        [ -z "$(tr -d '\0' < "$f" | head -c 1)" ] && continue
        sum=$(sha256sum < "$f" | cut -c1-64)
        grep -q "^$sum" "$list" || fail "$saved on $1: $(basename "$f") holds bytes the scanned device did not"
    done < <(find "$r" -type f -print0 2>/dev/null)
}
# Cards of serial 0 that share half their files: the other card is not the
# scanned one for the files it does not share (they fail, never read there),
# and given first it is passed over for the scanned one.
for mode in quick deep; do
    r="$out/shared.$mode"
    "$probe" "$mode" "$marks/shared/one/card.img" --services --save "$r.rsf" > /dev/null 2>&1 ||
        fail "shared $mode: --save failed"
    other_bytes "$r.rsf" "$marks/shared/one/card.sha256.txt" "$marks/shared/two/card.img"
    own_bytes "$r.rsf" "$marks/shared/two/card.img" "$marks/shared/one/card.sha256.txt" "$marks/shared/one/card.img"
done
# Sticks that shared one old volume (copied to each), then were partitioned
# and filled each its own way (sfdisk, mkfs.fat, mkfs.exfat): the other stick
# under the scanned one's name holds the old volume but not each old file's
# bytes, nor the new volumes; HFS+ volumes of one ID, their files elsewhere.
# Nothing read there has other bytes, and given first it is passed over.
bash "$src/tests/fixtures/make-fixture" part_damage "$fixtures"
mkdir -p "$out/shared_old"
for row in "quick part_damage/reused_exfat12one_mbr part_damage/reused_exfat12at_mbr" \
           "deep part_damage/reused_exfat12at_mbr part_damage/reused_exfat12one_mbr" \
           "quick part_damage/reused_fat32k8_gpt part_damage/reused_fat32k8_mbr" \
           "deep part_damage/reused_fat32k8_mbr part_damage/reused_fat32k8_gpt" \
           "deep hfs_deep/changed hfs_deep/bignode" \
           "quick hfs_deep/alone hfs_deep/changed_alone"; do
    read -r mode one two <<< "$row"
    r="$out/shared_old/$mode" twin="$out/shared_old/$(basename "$one").img"
    rm -rf "$r.live"
    "$probe" "$mode" "$fixtures/$one.img" --services --save "$r.rsf" --recover "$r.live" > /dev/null 2>&1 ||
        fail "$one $mode: --save failed"
    sums "$r.live" > "$r.sums"
    ln -sf "$fixtures/$two.img" "$twin"
    other_bytes "$r.rsf" "$r.sums" "$twin"
    own_bytes "$r.rsf" "$twin" "$r.sums" "$fixtures/$one.img"
done
# A carved disk whose first four pictures were overwritten since its save:
# the other four come back byte-exact, the four overwritten fail.
changed_disk="$out/overwritten/disk.img"
mkdir -p "$out/overwritten"
cp "$alike/carved/zero/one/disk.img" "$changed_disk"
for i in 1 2 3 4; do
    head -c 8192 /dev/urandom | dd of="$changed_disk" bs=512 seek=$((2048 + 1000 * i)) conv=notrunc status=none
done
tail -n 4 "$alike/carved/zero/one/disk.sha256.txt" > "$out/overwritten/intact.txt"
other_bytes "$out/carved.zero.rsf" "$out/overwritten/intact.txt" "$changed_disk"
diff <(cut -c1-64 "$out/overwritten/intact.txt" | sort) <(sums "$out/other" | grep -xFf <(cut -c1-64 "$out/overwritten/intact.txt")) >&2 ||
    fail "a carved disk of four overwritten pictures: the four intact ones do not come back"
# The same disk given first, the alike one after it (tried, refused): the
# disk that held most of the scan is the one read.
other_bytes "$out/carved.zero.rsf" "$out/overwritten/intact.txt" "$changed_disk" "$alike/carved/zero/two/disk.img"
diff <(cut -c1-64 "$out/overwritten/intact.txt" | sort) <(sums "$out/other" | grep -xFf <(cut -c1-64 "$out/overwritten/intact.txt")) >&2 ||
    fail "a carved disk of four overwritten pictures, an alike one after it: the four intact ones do not come back"
# A quick save of a disk whose empty volume of serial 0 comes before one of
# serial 0 of the same size: each volume takes its own root.
"$probe" quick "$marks/emptyfirst/serial0.img" --services --save "$out/s0first.rsf" > /dev/null 2>&1 ||
    fail "emptyfirst serial0: --save failed"
own_bytes "$out/s0first.rsf" "$marks/emptyfirst/serial0.img" "$marks/emptyfirst/serial0.sha256.txt"
# A volume is found by what it is, whatever its name: a copy of a volume
# under another file name loads as the volume scanned.
"$probe" quick "$alike/emptyfirst/fat16.img" --services --save "$out/first.rsf" > /dev/null 2>&1 || fail "--save failed"
cp "$marks/ntfs/one/vol.img" "$out/renamed.img"
own_bytes "$out/marks.quick.rsf" "$out/renamed.img" "$marks/ntfs/one/vol.sha256.txt"
# A disk none of whose volumes takes a saved root is not the one scanned:
# one of its size whose volumes are of another kind, one of none.
mkdir -p "$out/kinds"
ln -sf "$marks/kinds/exfat.img" "$out/kinds/fat16.img"
expect_failure "a disk of other kinds of volume" 6 "$out/first.rsf" --device "$out/kinds/fat16.img"
truncate -s "$(stat -c %s "$alike/emptyfirst/fat16.img")" "$out/kinds/blank.img"
ln -sf "$out/kinds/blank.img" "$out/kinds/fat16.img"
expect_failure "a disk of no volume" 6 "$out/first.rsf" --device "$out/kinds/fat16.img"
# A disk whose table names only the first of the scanned disk's volumes (an
# old table over the same first volume), given first: it holds less of the
# scan than the disk scanned, which is taken.
bash "$src/tests/fixtures/make-fixture" mbr_fat_exfat "$fixtures"
disk="$fixtures/mbr_fat_exfat/disk_intact.img"
mkdir -p "$out/lesser"
cp --sparse=always "$disk" "$out/lesser/disk_intact.img"
dd if=/dev/zero of="$out/lesser/disk_intact.img" bs=1 seek=462 count=16 conv=notrunc status=none
"$probe" quick "$disk" --services --save "$out/lesser.rsf" --recover "$out/lesser.live" > /dev/null 2>&1 ||
    fail "lesser: --save failed"
sums "$out/lesser.live" > "$out/lesser.sums"
own_bytes "$out/lesser.rsf" "$out/lesser/disk_intact.img" "$out/lesser.sums" "$disk"
# A table that changed is not a volume that changed: a quick and a deep save
# of a disk load whole after its entry grew, the quick one also after the
# table went and the volume moved to sector 0, and after its volume was
# moved behind a new one (sfdisk --move-data); twin volumes (a partition and
# its copy, one serial and label) keep their own roots after the entries
# were put in order; carved pictures come back after a partition was added
# over them and formatted, all but one a file written there since covers.
tab="$alike/retable" re="$out/retable"
export PATH="$PATH:/sbin:/usr/sbin"
mkdir -p "$re"
cp --sparse=always "$tab/disk.img" "$re/grown.img"
printf 'label: dos\n2048,100000,6\n' | sfdisk -q --wipe never "$re/grown.img"
truncate -s "$(stat -c %s "$tab/disk.img")" "$re/zero.img"
dd if="$tab/disk.img" of="$re/zero.img" bs=512 skip=2048 count=65536 conv=notrunc status=none
for mode in quick deep; do
    "$probe" "$mode" "$tab/disk.img" --services --save "$re/$mode.rsf" > /dev/null 2>&1 || fail "retable $mode: --save failed"
    own_bytes "$re/$mode.rsf" "$re/grown.img" "$tab/disk.sha256.txt"
done
own_bytes "$re/quick.rsf" "$re/zero.img" "$tab/disk.sha256.txt"
# The table wiped (the first sector zeroed, the volume in place): quick and
# deep saves find the volume where it lay. The volume copied by dd further
# on with its entry: found where the table now puts it.
cp --sparse=always "$tab/disk.img" "$re/wiped.img"
dd if=/dev/zero of="$re/wiped.img" bs=512 count=1 conv=notrunc status=none
cp --sparse=always "$tab/disk.img" "$re/copied.img"
dd if="$tab/disk.img" of="$re/copied.img" bs=512 skip=2048 seek=67584 count=65536 conv=notrunc status=none
dd if=/dev/zero of="$re/copied.img" bs=512 seek=2048 count=65536 conv=notrunc status=none
printf 'label: dos\n67584,65536,6\n' | sfdisk -q --wipe never "$re/copied.img" 2> /dev/null
for mode in quick deep; do own_bytes "$re/$mode.rsf" "$re/wiped.img" "$tab/disk.sha256.txt"; done
own_bytes "$re/deep.rsf" "$re/copied.img" "$tab/disk.sha256.txt"
# A disk image kept on the volume as a deleted file (an empty floppy, no
# root of its own) and named by an entry: that entry grown to the disk's
# end still begins the same volume, whose structures were there when the
# quick save was made; the image comes back whole.
hd="$re/holder"
mkdir -p "$hd"
truncate -s $((40960 * 512)) "$hd/disk.img"
printf 'label: dos\n2048,,6\n' | sfdisk -q "$hd/disk.img"
mkfs.fat -F 16 -i 0E0E0041 --offset 2048 "$hd/disk.img" 19456 > /dev/null 2>&1 || fail "holder: mkfs.fat failed (dosfstools)"
mkfs.fat -C -n FLOPPY -i 0E0E0042 "$hd/DISK1.IMG" 1440 > /dev/null 2>&1
head -c 300000 /dev/urandom > "$hd/NOTES.BIN"
for f in DISK1.IMG NOTES.BIN; do MTOOLS_SKIP_CHECK=1 mcopy -i "$hd/disk.img@@$((2048 * 512))" "$hd/$f" "::/$f"; done
MTOOLS_SKIP_CHECK=1 mdel -i "$hd/disk.img@@$((2048 * 512))" ::/DISK1.IMG
(cd "$hd" && sha256sum DISK1.IMG NOTES.BIN) > "$hd/sums.txt"
at=$(python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); print(d.find(open(sys.argv[2],"rb").read(512), 2048*512+512)//512)' "$hd/disk.img" "$hd/DISK1.IMG")
[ "$at" -gt 2048 ] || fail "holder: the floppy's sectors not found on the disk"
entry() { # entry SECTORS: the MBR's second entry, a FAT12 at the floppy's sector (sfdisk refuses one inside another)
    python3 -c 'import struct, sys; f = open(sys.argv[1], "r+b"); f.seek(462); f.write(struct.pack("<B3sB3sII", 0, bytes(3), 1, bytes(3), int(sys.argv[2]), int(sys.argv[3])))' "$hd/disk.img" "$at" "$1"
}
entry 2880
"$probe" quick "$hd/disk.img" --services --save "$hd/quick.rsf" > /dev/null 2>&1 || fail "holder: --save failed"
entry $((40960 - at))
own_bytes "$hd/quick.rsf" "$hd/disk.img" "$hd/sums.txt"
# The entry cut to half and an ext4 partition made in the half it freed
# (mke2fs): the volume still begins where it did, the files its quick and
# deep saves sampled past the entry's end. Both find it there by its boot
# sector and files: those inside the entry come back byte-exact, those past
# it as ext4 left them, none with other bytes.
mkdir -p "$re/cut"
truncate -s $((67584 * 512)) "$re/cut.img"
printf 'label: dos\n2048,65536,6\n' | sfdisk -q "$re/cut.img"
mkfs.fat -F 16 -i 0E0E0018 --offset 2048 "$re/cut.img" 32768 > /dev/null 2>&1
for i in $(seq -w 1 24); do
    head -c $((1048576 + 997 * 10#$i)) /dev/urandom > "$re/cut/file_$i.bin"
    MTOOLS_SKIP_CHECK=1 mcopy -i "$re/cut.img@@$((2048 * 512))" "$re/cut/file_$i.bin" "::/file_$i.bin"
done
(cd "$re/cut" && sha256sum file_*.bin) > "$re/cut.sha256.txt"
head -n 14 "$re/cut.sha256.txt" > "$re/cut.inside.txt" # within the volume's first 15 MiB
for mode in quick deep; do
    "$probe" "$mode" "$re/cut.img" --services --save "$re/cut.$mode.rsf" > /dev/null 2>&1 || fail "cut $mode: --save failed"
done
printf 'label: dos\n2048,32768,6\n34816,32768,83\n' | sfdisk -q --wipe never "$re/cut.img" 2> /dev/null
dd if="$re/cut.img" of="$re/part.bin" bs=512 skip=34816 status=none
mke2fs -q -F -E nodiscard -t ext4 "$re/part.bin" > /dev/null 2>&1 || fail "cut: mke2fs failed (e2fsprogs)"
dd if="$re/part.bin" of="$re/cut.img" bs=512 seek=34816 conv=notrunc status=none
for mode in quick deep; do
    other_bytes "$re/cut.$mode.rsf" "$re/cut.sha256.txt" "$re/cut.img"
    diff <(cut -c1-64 "$re/cut.inside.txt" | sort) <(sums "$out/other" | grep -xFf <(cut -c1-64 "$re/cut.inside.txt")) >&2 ||
        fail "cut $mode: the files inside the cut entry do not come back"
done
# A deep save whose ControllerList was made a 12-byte one naming its deep
# roots a quick scan's (its checksum made again) is damaged, not of a
# device not attached.
python3 - "$src/tests/fixtures" "$re/deep.rsf" "$re/beside.rsf" <<'PY'
import struct, sys
sys.path.insert(0, sys.argv[1])
from old_save import crc32_mpeg2, HEADER, FRAME, SUMS
LIST = bytes([0x94, 0x63, 0x9B, 0x40, 0x81, 0xF6, 0x88, 0x4E, 0xA2, 0x0F, 0x5D, 0x63, 0x57, 0x82, 0xED, 0x75])
data, frames, at = open(sys.argv[2], 'rb').read(), [], HEADER
while at < len(data):
    size = struct.unpack_from('<I', data, at + 32)[0]
    frames.append([data[at:at + 16], data[at + 16:at + 32], data[at + FRAME:at + FRAME + size]])
    at += FRAME + size
for f in frames:
    if f[1] == LIST:
        f[2] = struct.pack('<I', 12) + f[2][4:12] + struct.pack('<I', 0)
    if f[1] == SUMS:
        f[2] = b''.join(g[1] + struct.pack('<II', len(g[2]), crc32_mpeg2(g[2])) for g in frames if g[1] != SUMS)
open(sys.argv[3], 'wb').write(data[:HEADER] + b''.join(f[0] + f[1] + struct.pack('<I', len(f[2])) + f[2] for f in frames))
PY
expect_failure "a deep save's roots named a quick scan's" 8 "$re/beside.rsf" --device "$tab/disk.img"
cp --sparse=always "$tab/disk.img" "$re/moved.img"
echo '+32M,' | sfdisk -q --move-data=/dev/null -N 1 "$re/moved.img" > /dev/null 2>&1
printf '2048,65536,6\n' | sfdisk -q --append --wipe never "$re/moved.img" > /dev/null 2>&1
mkfs.fat -F 16 -i 0E0E0014 --offset 2048 "$re/moved.img" 32768 > /dev/null 2>&1
own_bytes "$re/quick.rsf" "$re/moved.img" "$tab/disk.sha256.txt"
"$probe" quick "$tab/twins.img" --services --save "$re/twins.rsf" > /dev/null 2>&1 || fail "twins: --save failed"
cp --sparse=always "$tab/twins.img" "$re/twins.img"
sfdisk -q --reorder "$re/twins.img" > /dev/null 2>&1
own_bytes "$re/twins.rsf" "$re/twins.img" "$tab/twins.sha256.txt"
"$probe" deep "$tab/photos.img" --services --save "$re/photos.rsf" --recover "$re/photos.live" > /dev/null 2>&1 ||
    fail "photos: --save failed"
cp --sparse=always "$tab/photos.img" "$re/photos.img"
printf 'label: dos\n2048,32768,6\n36864,,6\n' | sfdisk -q --wipe never "$re/photos.img"
mkfs.fat -F 16 -i 0E0E0013 --offset 36864 "$re/photos.img" $(((65536 - 36864) / 2)) > /dev/null 2>&1
own_bytes "$re/photos.rsf" "$re/photos.img" "$tab/photos.sha256.txt"
# ... and with the table wiped: the pictures are told by their own bytes.
cp --sparse=always "$tab/photos.img" "$re/photos_wiped.img"
dd if=/dev/zero of="$re/photos_wiped.img" bs=512 count=1 conv=notrunc status=none
own_bytes "$re/photos.rsf" "$re/photos_wiped.img" "$tab/photos.sha256.txt"
head -c $((2400 << 10)) /dev/urandom > "$re/big.bin"
MTOOLS_SKIP_CHECK=1 mcopy -i "$re/photos.img@@$((36864 * 512))" "$re/big.bin" ::/big.bin
# ... whose bytes at the first picture's sampled places (its first, middle
# and last 512) are by chance the picture's: the new volume's FAT tells.
first="$(find "$re/photos.live" -type f -exec sha256sum {} + | grep "^$(head -n 1 "$tab/photos.sha256.txt" | cut -c1-64)" | cut -c67-)"
python3 - "$first" "$re/photos.img" $((41500 * 512)) <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
at, size = int(sys.argv[3]), len(data)
with open(sys.argv[2], 'r+b') as f:
    for off in (0, size // 2 // 512 * 512, max(0, size - 512)):
        f.seek(at + off)
        f.write(data[off:off + 512])
PY
sums "$re/photos.live" | grep -vxF "$(head -n 1 "$tab/photos.sha256.txt" | cut -c1-64)" > "$re/intact.txt"
other_bytes "$re/photos.rsf" "$re/intact.txt" "$re/photos.img"
diff <(cut -c1-64 "$re/intact.txt" | sort) <(sums "$out/other" | grep -xFf <(cut -c1-64 "$re/intact.txt")) >&2 ||
    fail "pictures under a partition added and filled since: the files it left do not come back"
# The same pictures under a partition made over them by a file system whose
# structures tell where it has written (ext4 with a file in by mke2fs -d,
# then, as root, more written by the kernel's driver; minix and bfs, then used as their drivers would:
# a picture written over between its sampled places, its zones marked in use
# or a file made of its blocks; an ISO image xorriso writes over them, all
# it spans and its padding) or tell nothing of it (swap, a FAT boot
# sector without its signature, each then used alike): a picture whose sampled places are by chance its own after the new
# volume wrote between them never comes back with the new volume's bytes;
# those the new volume left intact come back.
mkdir -p "$re/tree"
head -c $((3 << 20)) /dev/urandom > "$re/tree/big.bin"
# As root, the kernel's ext4 driver then writes a file there too (its journal,
# its allocator, its lazy inode-table init while mounted).
driver_writes() {
    [ "$(id -u)" -eq 0 ] || { echo "scan_image saved scan: the ext4 driver's writes left out, needs root"; return 0; }
    mkdir -p "$re/mnt"
    mount -o loop "$re/part.bin" "$re/mnt" || fail "ext4: the kernel did not mount the partition"
    local wrote=0
    { head -c $((2 << 20)) /dev/urandom > "$re/mnt/driver.bin" && mkdir -p "$re/mnt/folder" &&
        head -c 300000 /dev/urandom > "$re/mnt/folder/small.bin"; } || wrote=1
    umount "$re/mnt" || fail "ext4: the partition could not be unmounted"
    [ "$wrote" = 0 ] || fail "ext4: the driver did not write its files"
}
sums "$re/photos.live" > "$re/saved.txt"
for kind in ext4 swap minix bfs iso fatbare; do
    k="$re/$kind.img"
    cp --sparse=always "$tab/photos.img" "$k"
    printf 'label: dos\n2048,32768,6\n36864,,83\n' | sfdisk -q --wipe never "$k" 2> /dev/null
    dd if="$k" of="$re/part.bin" bs=512 skip=36864 status=none
    case "$kind" in
        ext4) mke2fs -q -F -E nodiscard -t ext4 -d "$re/tree" "$re/part.bin" > /dev/null 2>&1 && driver_writes ;;
        swap) mkswap -q "$re/part.bin" > /dev/null 2>&1 ;;
        minix) mkfs.minix "$re/part.bin" > /dev/null 2>&1 ;;
        bfs) mkfs.bfs "$re/part.bin" > /dev/null 2>&1 ;;
        iso) xorriso -outdev stdio:"$re/part.bin" -blank as_needed -map "$re/tree" / -commit > /dev/null 2>&1 ;;
        fatbare) mkfs.fat -F 16 -i 0E0E0015 "$re/part.bin" > /dev/null 2>&1 &&
            printf '\0\0' | dd of="$re/part.bin" bs=1 seek=510 conv=notrunc status=none ;;
    esac || fail "$kind: the tool failed (e2fsprogs, util-linux, dosfstools, xorriso)"
    dd if="$re/part.bin" of="$k" bs=512 seek=36864 conv=notrunc status=none
    # Each picture written over since: its sampled places put back. Those
    # intact are listed.
    python3 - "$k" "$tab/photos.sha256.txt" "$re/photos.live" "$kind" > "$re/$kind.intact" <<'PY'
import hashlib, os, sys
image, listed, live, kind = sys.argv[1:]
found = {}
for folder, _, names in os.walk(live):
    for name in names:
        data = open(os.path.join(folder, name), 'rb').read()
        found[hashlib.sha256(data).hexdigest()] = data
with open(image, 'r+b') as f:
    for i, line in enumerate(open(listed), 1):
        data = found[line.split()[0]]
        at, size = (40000 + 1500 * i) * 512, len(data)
        samples = (0, size // 2 // 512 * 512, max(0, size - 512))
        if kind != 'ext4' and i == 1:  # the volume in use wrote there
            f.seek(at + 512)
            f.write(os.urandom(size - 1024))
            part, rel = 36864 * 512, at + 512 - 36864 * 512
            if kind == 'minix':  # its zones (1 KiB) marked in the zone bitmap
                f.seek(part + 1024)
                sb = f.read(32)
                imap, first = int.from_bytes(sb[4:6], 'little'), int.from_bytes(sb[8:10], 'little')
                for z in range(rel // 1024, (rel + size - 1024 - 1) // 1024 + 1):
                    bit = z - first + 1
                    f.seek(part + (2 + imap) * 1024 + bit // 8)
                    byte = f.read(1)[0] | 1 << bit % 8
                    f.seek(-1, 1)
                    f.write(bytes([byte]))
            if kind == 'bfs':  # a file of its blocks in the second inode
                f.seek(part + 512 + 64)
                f.write((3).to_bytes(4, 'little') + (rel // 512).to_bytes(4, 'little') +
                        ((rel + size - 1024 - 1) // 512).to_bytes(4, 'little') +
                        (rel + size - 1024 - 1).to_bytes(4, 'little') + (1).to_bytes(4, 'little'))
        f.seek(at)
        if f.read(size) == data:
            print(line.split()[0])
            continue
        for off in samples:
            f.seek(at + off)
            f.write(data[off:off + 512])
PY
    sort -o "$re/$kind.intact" "$re/$kind.intact"
    n="$(wc -l < "$re/$kind.intact")"
    [ "$n" -lt 8 ] && { [ "$kind" != ext4 ] || [ "$n" -gt 0 ]; } || fail "$kind: $n pictures of 8 intact"
    other_bytes "$re/photos.rsf" "$re/saved.txt" "$k"
    [ "$kind" = fatbare ] || [ "$kind" = swap ] || diff "$re/$kind.intact" <(sums "$out/other" | grep -xFf "$re/$kind.intact") >&2 ||
        fail "pictures under a $kind partition made since: those it left do not come back"
done
# Saves written before partition records carried what tells volumes apart
# open where they were made: a FAT16 larger than its table entry, a cut
# image, an exFAT volume (its entries 32 bytes apart, sizes 8 bytes in).
for mode in quick deep; do
    for d in past cut; do
        "$probe" "$mode" "$marks/$d/fat16.img" --services --save "$out/old.rsf" > /dev/null 2>&1 || fail "$d: --save failed"
        python3 "$src/tests/fixtures/old_save.py" "$out/old.rsf" "$out/old.old.rsf"
        own_bytes "$out/old.old.rsf" "$marks/$d/fat16.img" "$marks/$d/fat16.sha256.txt"
    done
    exfat="$fixtures/exfat_quick/exfat_512.img"
    rm -rf "$out/exfat.live"
    "$probe" "$mode" "$exfat" --services --recover "$out/exfat.live" > /dev/null 2>&1 || fail "exfat $mode: the scan failed"
    sums "$out/exfat.live" | sed 's/$/  file/' > "$out/exfat.sums"
    python3 "$src/tests/fixtures/old_save.py" "$out/exfat.$mode.rsf" "$out/exfat.old.rsf"
    own_bytes "$out/exfat.old.rsf" "$exfat" "$out/exfat.sums"
done
echo "scan_image saved scan: ok"
