#!/usr/bin/env bash
# scan_image end to end on NTFS: a quick scan of the 4 KiB-cluster fixture with
# --recover writes every file of the manifest (live and deleted) byte-exact
# (a hard link's bytes under one of its names, a recycled file's under its
# recorded name).
# Usage: scan_image_ntfs.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
bash "$src/tests/fixtures/make-fixture" ntfs_volumes "$fixtures"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
fail() { echo "scan_image ntfs: $*" >&2; exit 1; }
img="$fixtures/ntfs_volumes/ntfs_4k"
"$probe" quick "$img.img" --recover "$out/r" > "$out/list.txt" 2>/dev/null
(cd "$out/r" && find . -type f -print0 | xargs -0 sha256sum | cut -c1-64 | sort -u) > "$out/got.txt"
# Recycle-bin index files name their data file and are not listed themselves.
grep -v '/\$I' "$img.sha256.txt" | cut -c1-64 | sort -u | grep -v "$(printf '' | sha256sum | cut -c1-64)" > "$out/want.txt"
[ -z "$(comm -13 "$out/got.txt" "$out/want.txt")" ] || fail "files of the manifest missing or differing"
grep -q $'^35\tD\t50000\tCompressed/gone.txt$' "$out/list.txt" || fail "deleted file not listed as deleted"
echo "scan_image ntfs: ok"
