#!/usr/bin/env bash
# scan_image --services, quick, on disks of 512 small FAT12 volumes
# (many_volumes fixture), named by a GPT and by a chain of extended boot
# records: every volume's file is listed, the scan peaks at 256 MiB at most
# (the memory must not grow with the volumes listed), and the recovery that
# follows writes each file byte-exact under its volume's label, nothing else.
# Then, deep, a FAT32 stick holding 300 FAT12 disk images (floppy_folder
# fixture, 301 volumes): its 611 files, the images and the files in them,
# come back byte-exact through the facade, straight and from a saved scan,
# nothing else is listed (the images' folders are file data, not lost folders
# of the stick), none fails and the probe exits 0.
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
    awk -v p="$peak" 'BEGIN { exit !(p <= 256) }' || fail "$disk: peak $peak MiB"
    grep -q "^recovered=512 failed=0 " "$out/$disk.txt" || fail "$disk: $(grep '^recovered=' "$out/$disk.txt")"
    diff "$d/volumes.sha256.txt" <(cd "$out/$disk/Fat_0001" && find . -type f | sed 's|^\./||' | sort |
        while read -r f; do printf '%s\t%s\n' "$(sha256sum < "$f" | cut -c1-64)" "$f"; done) >&2 ||
        fail "$disk: the recovered files differ from the volumes' files"
    [ "$(ls "$out/$disk")" = Fat_0001 ] || fail "$disk: other folders: $(ls "$out/$disk" | tr '\n' '|')"
done

f="$fixtures/floppy_folder"
sums() { find "$1" -type f -exec sha256sum {} + | cut -c1-64 | LC_ALL=C sort; }
# check_floppies NAME: the listing and recovery of $out/NAME.txt, files under $out/NAME.
check_floppies() {
    local name="$1" files recovered failed
    files="$(sed -n 's/^nodes=[0-9]* files=\([0-9]*\) .*/\1/p' "$out/$name.txt")"
    recovered="$(sed -n 's/^recovered=\([0-9]*\) .*/\1/p' "$out/$name.txt")"
    failed="$(sed -n 's/^recovered=[0-9]* failed=\([0-9]*\) .*/\1/p' "$out/$name.txt")"
    echo "floppies $name: $(grep '^recovered=' "$out/$name.txt")"
    [ "$files" = 611 ] && [ "$recovered" = 611 ] && [ "$failed" = 0 ] ||
        fail "floppies $name: $files files listed, recovered=$recovered failed=$failed"
    # Every file of the stick byte-exact, and nothing besides them.
    local odd
    odd="$(LC_ALL=C comm -3 "$f/files300.sha256.txt" <(sums "$out/$name") | wc -l)"
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
echo "scan_image many_volumes: ok"
