#!/usr/bin/env bash
# scan_image end to end on NTFS: a quick scan with --recover of every fixture
# volume (4 KiB, 2 KiB, 512-byte and 64 KiB clusters; the 4096-byte-sector
# volume through 4096- and 512-byte device sectors; a 512-byte-sector volume
# through 4096-byte sectors; the log-rebuild variant) writes every file of the
# manifest (live and deleted) byte-exact (a hard link's bytes under one of its
# names, a recycled file's under its recorded name); each Windows sample
# (--offset 128 where it lies there) gives every file icat gives; the three
# labelled partitions of one disk, scanned whole, are recovered each into a
# folder of its label.
# Usage: scan_image_ntfs.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
bash "$src/tests/fixtures/make-fixture" ntfs_volumes "$fixtures"
bash "$src/tests/fixtures/make-fixture" ntfs_samples "$fixtures"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
fail() { echo "scan_image ntfs: $*" >&2; exit 1; }
empty="$(printf '' | sha256sum | cut -c1-64)"
# recover NAME IMAGE ARGS...: the sorted hashes of what the scan wrote.
recover() {
    local name="$1" image="$2"; shift 2
    rm -rf "$out/r"
    "$probe" quick "$image" "$@" --recover "$out/r" > "$out/$name.list" 2>/dev/null || fail "$name: scan failed"
    (cd "$out/r" && find . -type f -print0 | xargs -0 -r sha256sum | cut -c1-64 | sort -u) > "$out/got.txt"
}
# expect NAME WANT_FILE: every hash of WANT_FILE was written.
expect() {
    [ -z "$(comm -13 "$out/got.txt" "$2")" ] || fail "$1: files missing or differing: $(comm -13 "$out/got.txt" "$2" | head -3)"
}
vols="$fixtures/ntfs_volumes"
for run in ntfs_4k:512 ntfs_2k:512 ntfs_512:512 ntfs_64k:512 ntfs_4kr:4096 ntfs_4kr:512 ntfs_4k:4096 \
           ntfs_4kl:512:ntfs_4k; do
    IFS=: read -r name size manifest <<< "$run"
    manifest="${manifest:-$name}"
    recover "$name@$size" "$vols/$name.img" --sector-size "$size"
    # Recycle-bin index files name their data file and are not listed themselves.
    grep -v '/\$I' "$vols/$manifest.sha256.txt" | cut -c1-64 | sort -u | grep -v "$empty" > "$out/want.txt"
    expect "$name@$size" "$out/want.txt"
done
grep -q $'^35\tD\t50000\tCompressed/gone.txt$' "$out/ntfs_4k@512.list" || fail "deleted file not listed as deleted"
grep -q $'^35\tD\t70000\tgone_big.bin$' "$out/ntfs_4kl@512.list" || fail "log-rebuilt file not listed with its size"
samples="$fixtures/ntfs_samples"
for run in ntfs-ptrn:128 ntfs-ramslack:128 ntfs-lastaccess:128 ntfs-si-vs-fn:128 ntfs3:0 ntfs3_attrlist:0 ntfs_index:128; do
    IFS=: read -r name offset <<< "$run"
    recover "$name" "$samples/$name.raw" --offset "$offset"
    cut -d' ' -f2 "$samples/$name.icat.txt" | sort -u | grep -v "$empty" > "$out/want.txt" || true
    expect "$name" "$out/want.txt"
done
# An MBR disk of three labelled NTFS partitions (ntfs_4k, ntfs_2k, ntfs_512),
# quick-scanned whole through the application's services: each partition's
# files go into a folder named by its label, every file of its manifest
# byte-exact there, none numbered to tell it from a namesake of another one.
bash "$src/tests/fixtures/make-fixture" ntfs_disks "$fixtures"
disks="$fixtures/ntfs_disks"
"$probe" quick "$disks/disk_intact.img" --services --recover "$out/disk" > "$out/disk.list" 2>/dev/null ||
    fail "disk: scan failed"
[ "$(LC_ALL=C ls "$out/disk/0001" | tr '\n' ' ')" = "ntfs_2k ntfs_4k ntfs_512 " ] ||
    fail "disk: folders $(LC_ALL=C ls "$out/disk/0001" | tr '\n' ' ')instead of one per label"
[ -z "$(find "$out/disk" -name '*_0[0-9][0-9][0-9]*' -print -quit)" ] ||
    fail "disk: numbered names: $(find "$out/disk" -name '*_0[0-9][0-9][0-9]*' | head -3)"
i=1
for label in ntfs_4k ntfs_2k ntfs_512; do
    (cd "$out/disk/0001/$label" && find . -type f -print0 | xargs -0 -r sha256sum | cut -c1-64 | sort -u) > "$out/got.txt"
    grep -v '/\$I' "$disks/p$i.sha256.txt" | cut -c1-64 | sort -u | grep -v "$empty" > "$out/want.txt"
    expect "disk $label" "$out/want.txt"
    i=$((i + 1))
done
echo "scan_image ntfs: ok"
