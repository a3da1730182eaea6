#!/usr/bin/env bash
# Archives whose members start on sector borders (fixture carve_members):
# each archive is listed once, whole and byte-exact, never once more per
# member; the files stored in a tar are still found by their own kind; the
# listed total stays within the image. A mail folder whose 22nd message
# starts on a sector border comes back as one file, and so does one of 400
# messages with every 10th on a sector border; a mail folder ends where its
# text ends, whatever follows it, and a file of its kind on the next sector
# border after its slack is one of its own (two mail folders, two gzip
# files, each byte-exact). A lone stray control byte in a message (a NUL,
# 0x0B, 0x07, 0x1A, a backspace) keeps the folder whole, and so does a
# pair of them (pasted terminal text), a lone NUL before a "From " line on
# a sector border, and a stray byte before a web page, drawing or rich text
# part of its message on a sector border (the part is listed too). Random
# bytes after a folder's last line are not its text, even without a
# control byte among them. A folder whose text runs to the
# device's end comes back whole up to there, on a FAT32 volume cut inside
# it too; its slack and the web page after it are never taken. A folder
# ending in a line of Shift-JIS, Big5, KOI8-R or windows-1251 text without
# a line feed keeps that line; plain messages with a stray byte and quoted
# HTML on a sector border come back whole; a web page holding a line of
# dashes after a folder's stray last byte is no part of the folder. A
# message forwarding 7, 9 or 12 multipart messages, then a text part with a
# stray byte and an HTML part on a sector border, comes back whole; so do
# folders whose last line is short ("以上", "謝謝！", a name of 3 or 5
# Cyrillic letters, "Спасибо—Андрей"), followed by random slack of 8 seeds.
# Usage: scan_image_carve_members.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "$0")/probe_lib.sh" "$@" carve_members
dir="$fixtures/carve_members"
fail() { echo "scan_image carve members ($name): $*" >&2; exit 1; }
hashes() { find "$1" -type f -iname "*.$2" -exec sh -c 'for f; do echo "$(stat -c %s "$f") $(sha256sum < "$f" | cut -c1-64)"; done' _ {} + | sort; }

for name in $(cut -f1 "$dir/expect.tsv" | uniq); do
    # The cut volume's own copy of the folder rightly fails to read.
    "$probe" deep "$dir/$name.img" --recover "$out/$name" > "$out/$name.list" 2> "$out/$name.err" ||
        { [ "$name" = mboxfat ] && grep -q 'read\[Inbox\] failed' "$out/$name.err"; } || fail "exit $? $(tail -3 "$out/$name.err")"
    summary="$(tail -n 1 "$out/$name.list")"
    bytes="$(sed -nE 's/.* bytes=([0-9]+).*/\1/p' <<< "$summary")"
    [ -n "$bytes" ] && { [ "$name" = mboxfat ] || [ "$bytes" -le "$(stat -c %s "$dir/$name.img")" ]; } ||
        fail "listed $bytes bytes: $summary"
    # Every file of each kind the image lists, exact.
    for ext in $(awk -F'\t' -v n="$name" '$1 == n { print $2 }' "$dir/expect.tsv" | sort -u); do
        want="$(awk -F'\t' -v n="$name" -v e="$ext" '$1 == n && $2 == e { print $3 " " $4 }' "$dir/expect.tsv" | sort)"
        got="$(hashes "$out/$name" "$ext")"
        [ "$got" = "$want" ] ||
            fail "want .$ext of $(tr '\n' ' ' <<< "$want" | cut -c1-200), got $(wc -l <<< "$got"): $(head -3 <<< "$got")"
    done
done
name=phototar
[ -z "$(comm -13 <(hashes "$out/phototar" jpg) <(sort "$dir/photos.sha256"))" ] ||
    fail "photos of the tar not found byte-exact by their own kind"
echo "scan_image carve members: ok"
