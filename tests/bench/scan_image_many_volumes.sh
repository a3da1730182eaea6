#!/usr/bin/env bash
# scan_image --services, quick, on disks of 512 small FAT12 volumes
# (many_volumes fixture), named by a GPT and by a chain of extended boot
# records: every volume's file is listed, the scan peaks at 320 MiB at most
# (the memory must not grow with the volumes listed: a writer's buffer per
# volume took over 2 GiB; under ASan its quarantine alone holds up to 256 MiB
# of freed blocks, the release probe peaks near 16 MiB), and the recovery that
# follows writes each file byte-exact under its volume's label, nothing else.
# Then, deep, a FAT32 stick holding 300 FAT12 disk images (floppy_folder
# fixture, 301 volumes): its 611 files, the images and the files in them,
# come back byte-exact through the facade, straight and from a saved scan,
# nothing else is listed (the images' folders are file data, not lost folders
# of the stick), none fails and the probe exits 0. The same for sticks of
# 1,100 images in one folder and 2,000 in 7 (more volumes than the deep scan
# held of one cluster size, and than a saved root's block of 512 partition
# records), and, deep, for a GPT disk of 600 volumes: after the load every
# file is the one put on the disk, never one read at another volume's place.
# Likewise, deep, for a FAT32 stick of 600 NTFS images.
# Usage: scan_image_many_volumes.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@" many_volumes floppy_folder
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image many_volumes: $*" >&2; exit 1; }
d="$fixtures/many_volumes"

for disk in gpt512 ebr512; do
    "$probe" quick "$d/$disk.img" --services --recover "$out/$disk" > "$out/$disk.txt" 2>"$out/$disk.err" ||
        { tail -20 "$out/$disk.err" >&2; fail "$disk: --services --recover failed"; }
    summary="$(grep '^nodes=' "$out/$disk.txt")"
    echo "$disk: $summary"
    echo "$disk: $(grep '^recovered=' "$out/$disk.txt")"
    grep -q "^nodes=512 files=512 " <<<"$summary" || fail "$disk: not every volume's file listed: $summary"
    peak="$(sed -n 's/.*peakMiB=\([0-9.]*\).*/\1/p' <<<"$summary")"
    awk -v p="$peak" 'BEGIN { exit !(p <= 320) }' || fail "$disk: peak $peak MiB"
    grep -q "^recovered=512 failed=0 " "$out/$disk.txt" || fail "$disk: $(grep '^recovered=' "$out/$disk.txt")"
    diff "$d/volumes.sha256.txt" <(cd "$out/$disk/Fat_0001" && find . -type f | sed 's|^\./||' | sort |
        while read -r f; do printf '%s\t%s\n' "$(sha256sum < "$f" | cut -c1-64)" "$f"; done) >&2 ||
        fail "$disk: the recovered files differ from the volumes' files"
    [ "$(ls "$out/$disk")" = Fat_0001 ] || fail "$disk: other folders: $(ls "$out/$disk" | tr '\n' '|')"
done

f="$fixtures/floppy_folder"
sums() { find "$1" -type f -exec sha256sum {} + | cut -c1-64 | LC_ALL=C sort; }
# check_floppies NAME [STICK]: the listing and recovery of $out/NAME.txt, files
# under $out/NAME, against the files of floppiesSTICK.img (300 by default).
check_floppies() {
    local name="$1" stick="${2:-300}" files recovered failed want
    files="$(sed -n 's/^nodes=[0-9]* files=\([0-9]*\) .*/\1/p' "$out/$name.txt")"
    recovered="$(sed -n 's/^recovered=\([0-9]*\) .*/\1/p' "$out/$name.txt")"
    failed="$(sed -n 's/^recovered=[0-9]* failed=\([0-9]*\) .*/\1/p' "$out/$name.txt")"
    echo "floppies $name: $(grep '^recovered=' "$out/$name.txt")"
    want="$(wc -l < "$f/files$stick.sha256.txt")"
    [ "$files" = "$want" ] && [ "$recovered" = "$want" ] && [ "$failed" = 0 ] ||
        fail "floppies $name: $files files listed of $want, recovered=$recovered failed=$failed"
    # Every file of the stick byte-exact, and nothing besides them.
    local odd
    odd="$(LC_ALL=C comm -3 "$f/files$stick.sha256.txt" <(sums "$out/$name") | wc -l)"
    [ "$odd" -eq 0 ] || fail "floppies $name: $odd files missing, differing or added"
    [ "$(find "$out/$name" -type f -empty | wc -l)" -eq 0 ] || fail "floppies $name: empty files written"
}
rc=0
"$probe" deep "$f/floppies300.img" --services --recover "$out/straight" --save "$out/floppies.rsf" \
    > "$out/straight.txt" 2>"$out/straight.err" || rc=$?
[ -s "$out/floppies.rsf" ] || { tail -20 "$out/straight.err" >&2; fail "floppies: the scan was not saved"; }
check_floppies straight
[ "$rc" -eq 0 ] || fail "floppies straight: the probe exited $rc"
rc=0
"$probe" load "$out/floppies.rsf" --device "$f/floppies300.img" --recover "$out/loaded" \
    > "$out/loaded.txt" 2>"$out/loaded.err" || rc=$?
check_floppies loaded
[ "$rc" -eq 0 ] || fail "floppies loaded: the probe exited $rc"

for stick in 1100 2000; do
    rc=0
    "$probe" deep "$f/floppies$stick.img" --services --recover "$out/straight$stick" --save "$out/f$stick.rsf" \
        > "$out/straight$stick.txt" 2>"$out/straight$stick.err" || rc=$?
    [ -s "$out/f$stick.rsf" ] || { tail -20 "$out/straight$stick.err" >&2; fail "floppies$stick: not saved"; }
    check_floppies "straight$stick" "$stick"
    [ "$rc" -eq 0 ] || fail "floppies$stick straight: the probe exited $rc"
    rc=0
    "$probe" load "$out/f$stick.rsf" --device "$f/floppies$stick.img" --recover "$out/loaded$stick" \
        > "$out/loaded$stick.txt" 2>"$out/loaded$stick.err" || rc=$?
    check_floppies "loaded$stick" "$stick"
    [ "$rc" -eq 0 ] || fail "floppies$stick loaded: the probe exited $rc"
done

# deep_saved NAME DISK FILES HASHES: a deep scan of DISK recovered and saved,
# then the save loaded and recovered; each time FILES files recovered, none
# failed, and their bytes those of the sorted list of sha256 sums HASHES.
deep_saved() {
    local name="$1" disk="$2" files="$3" hashes="$4" run
    "$probe" deep "$disk" --services --recover "$out/$name" --save "$out/$name.rsf" > "$out/$name.txt" \
        2>"$out/$name.err" || { tail -20 "$out/$name.err" >&2; fail "$name: deep --services --recover failed"; }
    "$probe" load "$out/$name.rsf" --device "$disk" --recover "$out/${name}l" > "$out/${name}l.txt" \
        2>"$out/${name}l.err" || { tail -20 "$out/${name}l.err" >&2; fail "$name: load --recover failed"; }
    for run in "$name" "${name}l"; do
        echo "$run: $(grep '^recovered=' "$out/$run.txt")"
        grep -q "^recovered=$files failed=0 " "$out/$run.txt" || fail "$run: $(grep '^recovered=' "$out/$run.txt")"
        LC_ALL=C comm -3 "$hashes" <(sums "$out/$run") | grep -q . && fail "$run: recovered files differ from the disk's"
    done
    return 0
}
# The GPT of 600 (the deep scan names volumes by their sectors, so the files
# are compared by their bytes), and the stick of 600 NTFS images.
cut -f1 "$d/volumes600.sha256.txt" | LC_ALL=C sort > "$out/volumes600.txt"
deep_saved gpt600 "$d/gpt600.img" 600 "$out/volumes600.txt"
deep_saved ntfs600 "$d/ntfs600.img" 1810 "$d/ntfs600.sha256.txt"
echo "scan_image many_volumes: ok"
