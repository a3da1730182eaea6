#!/usr/bin/env bash
# scan_image end to end on APFS: a deep scan of the sample at 2048 of a disk
# whose GPTs are zeroed writes every file equal to icat at its path (leading
# dots kept, as in .fseventsd), and the stale-leaf image lists exactly the
# fixture's deleted entries.
# Usage: scan_image_apfs.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@" apfs_disks apfs_stale
fail() { echo "scan_image apfs: $*" >&2; exit 1; }
hashes() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum | sed 's| \./| |'); }

d="$fixtures/apfs_disks"
"$probe" deep "$d/gpt_zeroed.img" --recover "$out/gpt" > "$out/gpt.txt" 2>/dev/null
grep -q $'^37\tL\t116\tpasswords.txt$' "$out/gpt.txt" || fail "passwords.txt not listed"
# The program's layout: one kind folder (APFS has no kind text), the volume's folder in it.
[ "$(ls -A "$out/gpt")" = "0001" ] || fail "other folders than 0001: $(ls -A "$out/gpt")"
vol=("$out/gpt/0001/"*)
[ "${#vol[@]}" -eq 1 ] && [ -d "$vol" ] || fail "not one volume folder in 0001: $(ls -A "$out/gpt/0001")"
[ "$(hashes "$vol" | sort)" = "$(sort "$d/apfs.sha256.txt")" ] ||
    fail "recovered files differ from icat"

s="$fixtures/apfs_stale"
"$probe" deep "$s/stale.raw" > "$out/stale.txt" 2>/dev/null
[ "$(grep $'^37\tD\t' "$out/stale.txt" | cut -f4 | sort)" = "$(cut -f3 "$s/stale.manifest.txt" | sort)" ] ||
    fail "stale entries differ from the manifest"
echo "scan_image apfs: ok"
