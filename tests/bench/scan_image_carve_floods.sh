#!/usr/bin/env bash
# The carver on floods of one start in every sector (fixture carve_floods):
# the files listed never add up to more than the image, whatever the
# headers claim, and each carved file ends at the next start of its kind (a
# BMP claiming 60 MiB in every sector gives one sector each, but for the
# last one kept; so do BMP, WAV, AVI and AIFF headers whose claims all end
# at one byte, and a recovery of them writes no more than the image). A WAV
# recording stopped early ends at the next WAV, the WAVs after it whole.
# Stored ZIP headers whose sizes follow in descriptors, with no directory
# anywhere, give no archive. Tiny files first fill no cap the photos after
# them need: all 40 PNG photos after 16 MiB of one-sector BMPs are listed
# and recovered byte-exact, and so are 40 photos after two size classes
# filled by 32,768 GIFs and 16,384 PNGs; files not kept are counted on the
# summary line and in the services' log.
# Usage: scan_image_carve_floods.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "$0")/probe_lib.sh" "$@" carve_floods
dir="$fixtures/carve_floods"
fail() { echo "scan_image carve floods ($kind): $*" >&2; exit 1; }
field() { sed -nE "s/.* $1=([0-9]+).*/\1/p" <<< "$2"; }

for kind in bmp zipcomment zipself jpegbare zipdesc bmprest wavrest avirest aiffrest wavrest4; do
    "$probe" deep "$dir/$kind.img" > "$out/$kind.list" 2> "$out/$kind.err" || fail "exit $? $(tail -3 "$out/$kind.err")"
    summary="$(tail -n 1 "$out/$kind.list")"
    bytes="$(field bytes "$summary")"
    [ -n "$bytes" ] && [ "$bytes" -le "$(stat -c %s "$dir/$kind.img")" ] || fail "listed $bytes bytes: $summary"
done
kind=bmp
# Every BMP listed ends at the next start: one sector, but for the last one kept.
[ "$(head -n -1 "$out/bmp.list" | awk -F'\t' '$4 !~ /\/$/ && $3 != 512' | wc -l)" -le 1 ] ||
    fail "BMPs longer than a sector: $(head -n -1 "$out/bmp.list" | awk -F'\t' '$3 != 512' | head -3)"
kind=zipdesc
! grep -qiE $'\tzip/[^\t]+$' "$out/zipdesc.list" || fail "archives listed: $(grep -ciE $'\tzip/[^\t]+$' "$out/zipdesc.list")"

# Headers that only claim a size end at the next start of their kind: all
# claiming to end at one byte give one sector each too, and what a recovery
# of such a flood writes stays within the image.
for kind in bmprest wavrest avirest aiffrest; do
    [ "$(head -n -1 "$out/$kind.list" | awk -F'\t' '$4 !~ /\/$/ && $3 != 512' | wc -l)" -le 1 ] ||
        fail "files longer than a sector: $(head -n -1 "$out/$kind.list" | awk -F'\t' '$4 !~ /\/$/ && $3 != 512' | head -3)"
done
kind=wavrest4
"$probe" deep "$dir/wavrest4.img" --recover "$out/flood" > /dev/null 2> "$out/flood.err" ||
    fail "exit $? $(tail -3 "$out/flood.err")"
written="$(find "$out/flood" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')"
[ "$written" -le "$(stat -c %s "$dir/wavrest4.img")" ] || fail "recovered $written bytes"
rm -rf "$out/flood"

# A recording stopped early, whose header claims 40 MiB, ends at the next
# WAV (its sectors up to there); the 10 WAVs after it come back byte-exact.
kind=stopped
"$probe" deep "$dir/stopped.img" --recover "$out/stopped" > "$out/stopped.list" 2> "$out/stopped.err" ||
    fail "exit $? $(tail -3 "$out/stopped.err")"
find "$out/stopped" -type f -iname '*.wav' -exec sh -c 'for f; do echo "$(stat -c %s "$f") $(sha256sum < "$f" | cut -c1-64)"; done' _ {} + |
    sort > "$out/got"
[ -z "$(comm -13 "$out/got" <(sort "$dir/wavs.sha256"))" ] ||
    fail "$(comm -13 "$out/got" <(sort "$dir/wavs.sha256") | wc -l) of 10 WAVs not recovered byte-exact: $(cut -c1-20 "$out/got" | head -12 | tr '\n' ' ')"
cut -d' ' -f1 "$out/got" | grep -qx 529408 || fail "the stopped recording is not cut at the next WAV: $(cut -d' ' -f1 "$out/got" | tr '\n' ' ')"

# Files past the cap of kept files are counted: on the probe's summary line
# and in the services' log.
kind=zipcomment
notkept="$(field notkept "$(tail -n 1 "$out/zipcomment.list")")"
[ -n "$notkept" ] && [ "$notkept" -gt 0 ] || fail "no count of files not kept: $(tail -n 1 "$out/zipcomment.list")"
QT_QPA_PLATFORM=offscreen "$probe" deep "$dir/zipcomment.img" --services > "$out/svc.list" 2> "$out/svc.err" ||
    fail "--services: exit $? $(tail -3 "$out/svc.err")"
cat "$out/svc.list" "$out/svc.err" | grep -q "carved files not kept: $notkept\$" || fail "the services' log lacks the count"

kind=tinyphotos
"$probe" deep "$dir/tinyphotos.img" --recover "$out/rec" > "$out/tiny.list" 2> "$out/tiny.err" ||
    fail "exit $? $(tail -3 "$out/tiny.err")"
summary="$(tail -n 1 "$out/tiny.list")"
find "$out/rec" -type f -iname '*.png' -exec sh -c 'for f; do echo "$(stat -c %s "$f") $(sha256sum < "$f" | cut -c1-64)"; done' _ {} + |
    sort > "$out/got"
sort "$dir/photos.sha256" > "$out/want"
[ -z "$(comm -13 "$out/got" "$out/want")" ] ||
    fail "$(comm -13 "$out/got" "$out/want" | wc -l) of 40 photos not recovered byte-exact; $summary"

# Two size classes filled by small pictures starve no third: all 40 photos
# of about 1.2 MiB after 32,768 GIFs and 16,384 PNGs are listed and
# recovered byte-exact.
kind=sharephotos
"$probe" deep "$dir/sharephotos.img" --recover "$out/share" > "$out/share.list" 2> "$out/share.err" ||
    fail "exit $? $(tail -3 "$out/share.err")"
find "$out/share" -type f -iname '*.png' -size +1000k -exec sh -c 'for f; do echo "$(stat -c %s "$f") $(sha256sum < "$f" | cut -c1-64)"; done' _ {} + |
    sort > "$out/got"
sort "$dir/bigphotos.sha256" > "$out/want"
[ -z "$(comm -13 "$out/got" "$out/want")" ] ||
    fail "$(comm -13 "$out/got" "$out/want" | wc -l) of 40 photos not recovered byte-exact; $(tail -n 1 "$out/share.list")"
echo "scan_image carve floods: ok"
