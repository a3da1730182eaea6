#!/usr/bin/env bash
# scan_image as any user: bad numbers are refused with a usage line (no
# abort, no wrapped value); under a file-size limit the files that cannot be
# written are left out whole (no cut-short file, no temporary file) and the
# probe ends with 1 instead of being killed. --help prints the whole usage;
# an input shorter than one sector is named as such.
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

# --help: the whole usage on standard output, every mode and flag, exit 0.
"$probe" --help > "$out/help" 2> "$out/err" || fail "--help exited $?"
for word in "scan_image quick" "scan_image deep" "scan_image load" --offset --sector-size --recover --services --search --save --device --help; do
    grep -q -e "$word" "$out/help" || fail "--help does not mention $word"
done
"$probe" quick "$img" --services -h > "$out/help2" && cmp -s "$out/help" "$out/help2" || fail "-h differs from --help"

# An input shorter than one sector is named as such, in every mode.
head -c 100 "$img" > "$out/tiny.img"
for mode in "quick" "deep" "quick --services"; do
    read -r -a words <<< "$mode"
    set +e
    "$probe" "${words[0]}" "$out/tiny.img" "${words[@]:1}" > "$out/list" 2> "$out/err"
    rc=$?
    set -e
    [ $rc -eq 1 ] && grep -q "smaller than one sector" "$out/err" && ! grep -q "past the end" "$out/err" ||
        fail "$mode of a 100-byte image gave exit $rc: $(cat "$out/err")"
done

# 1 MB per file: BIG.BIN (10 MiB) cannot be written, the small files can.
set +e
(ulimit -f 1000; "$probe" quick "$img" --recover "$out/rec" > "$out/list" 2> "$out/err")
rc=$?
set -e
[ $rc -eq 1 ] || fail "exit $rc under a file-size limit"
# The program's layout: the kind folder, then the volume's folder.
vol=("$out/rec/Fat_0001/"*)
[ "${#vol[@]}" -eq 1 ] && [ -d "$vol" ] || fail "not one volume folder in Fat_0001: $(ls -A "$out/rec")"
[ ! -e "$vol/BIG.BIN" ] || fail "a cut-short BIG.BIN was left"
[ -z "$(find "$out/rec" -iname 'BIG*')" ] || fail "a BIG.BIN was left under another name"
[ -z "$(find "$out/rec" -name '.salvor-*')" ] || fail "a temporary file was left"
for f in SMALL.BIN PLAIN.JPG THUMB.JPG; do
    cmp -s "$vol/$f" "$fixtures/writer_fat/$(tr 'A-Z' 'a-z' <<< "$f")" || fail "$f differs"
done
echo "scan_image limits: ok"
