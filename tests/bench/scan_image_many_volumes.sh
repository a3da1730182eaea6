#!/usr/bin/env bash
# scan_image --services, quick, on disks of 512 small FAT12 volumes
# (many_volumes fixture), named by a GPT and by a chain of extended boot
# records: every volume's file is listed, the scan peaks at 256 MiB at most
# (the memory must not grow with the volumes listed), and the recovery that
# follows writes each file byte-exact under its volume's label, nothing else.
# Usage: scan_image_many_volumes.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@" many_volumes
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
echo "scan_image many_volumes: ok"
