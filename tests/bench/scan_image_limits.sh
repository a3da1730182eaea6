#!/usr/bin/env bash
# scan_image as any user: bad numbers are refused with a usage line (no
# abort, no wrapped value); under a file-size limit the files that cannot be
# written are left out whole (no cut-short file, no temporary file) and the
# probe ends with 1 instead of being killed.
# Usage: scan_image_limits.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "$0")/probe_lib.sh" "$@" writer_fat
img="$fixtures/writer_fat/writer_fat.img"
fail() { echo "scan_image limits: $*" >&2; exit 1; }

for args in "--offset abc" "--offset -1" "--offset 99999999999999999999" "--sector-size 4294967808" \
            "--sector-size 1000" "--offset"; do
    set +e
    # shellcheck disable=SC2086
    "$probe" quick "$img" $args > "$out/list" 2> "$out/err"
    rc=$?
    set -e
    [ $rc -eq 2 ] && grep -q '^usage: scan_image quick' "$out/err" && [ ! -s "$out/list" ] ||
        fail "'$args' gave exit $rc: $(cat "$out/err")"
done

# 1 MB per file: BIG.BIN (10 MiB) cannot be written, the small files can.
set +e
(ulimit -f 1000; "$probe" quick "$img" --recover "$out/rec" > "$out/list" 2> "$out/err")
rc=$?
set -e
[ $rc -eq 1 ] || fail "exit $rc under a file-size limit"
[ ! -e "$out/rec/BIG.BIN" ] || fail "a cut-short BIG.BIN was left"
[ -z "$(find "$out/rec" -name '.salvor-*')" ] || fail "a temporary file was left"
for f in SMALL.BIN PLAIN.JPG THUMB.JPG; do
    cmp -s "$out/rec/$f" "$fixtures/writer_fat/$(tr 'A-Z' 'a-z' <<< "$f")" || fail "$f differs"
done
echo "scan_image limits: ok"
