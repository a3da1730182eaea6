#!/usr/bin/env bash
# scan_image --recover on crafted names (fixture hostile_names): one listing
# line per node with control characters escaped, every file written
# byte-exact under its own safe name (equal names numbered, names cut to 255
# bytes, a 4.6 KB path made folder by folder), nothing else left behind.
# Usage: scan_image_hostile.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "$0")/probe_lib.sh" "$@" hostile_names
dir="$fixtures/hostile_names"
fail() { echo "scan_image hostile names ($kind): $*" >&2; exit 1; }

# kind OPTIONAL-LABELS: exFAT sets with control characters in their names
# may be refused by the name checks; when listed they must come back whole.
for spec in fat: exfat:newline,escape; do
    kind="${spec%%:*}"; optional="${spec#*:}"
    rec="$out/$kind"
    "$probe" quick "$dir/$kind.img" --recover "$rec" > "$out/$kind.list" 2>"$out/$kind.err" ||
        fail "exit $? $(cat "$out/$kind.err")"
    summary="$(tail -n 1 "$out/$kind.list")"
    nodes="$(sed -E 's/^nodes=([0-9]+) .*/\1/' <<< "$summary")"
    written="$(sed -E 's/.* written=([0-9]+) failed=0$/\1/' <<< "$summary")"
    [ "$(head -n -1 "$out/$kind.list" | grep -cE $'^[0-9]+\t[LD]\t[0-9]+\t[^\t]+$')" -eq "$nodes" ] ||
        fail "not one well-formed line per node"
    [ "$(find "$rec" -type f | wc -l)" -eq "$written" ] || fail "$written written, other files present"
    # The program's layout: one kind folder, the volume's folder in it.
    vol=("$rec/"*"_0001/"*)
    [ "${#vol[@]}" -eq 1 ] && [ -d "$vol" ] || fail "not one volume folder in one kind folder: $(ls -A "$rec")"
    ln -s "$vol" "$out/$kind.vol"

    # Every written file is one of the image's files, none twice, and every
    # file not optional is there.
    find "$rec" -type f -execdir sha256sum {} + | cut -c1-64 | sort > "$out/got"
    [ -z "$(uniq -d "$out/got")" ] || fail "a file written twice"
    cut -c1-64 "$dir/$kind.sha256" | sort > "$out/all"
    [ -z "$(comm -23 "$out/got" "$out/all")" ] || fail "a file that is not byte-exact"
    grep -vE " (${optional//,/|})\$" "$dir/$kind.sha256" | cut -c1-64 | sort > "$out/need"
    [ -z "$(comm -13 "$out/got" "$out/need")" ] || fail "files missing: $(comm -13 "$out/got" "$out/need")"
    [ -n "$(find "$vol" -mindepth 24 -iname deep.bin)" ] || fail "deep file not 24 levels down"
done

kind=fat
grep -qF $'\tline\\nbreak.txt' "$out/fat.list" || fail "newline not escaped in the listing"
grep -qF $'\tesc\\x1b[31m.txt' "$out/fat.list" || fail "escape not escaped in the listing"
for f in '#BC.TXT' '#BC_0001.TXT' line_break.txt 'esc_[31m.txt'; do [ -f "$out/fat.vol/$f" ] || fail "no $f"; done
kind=exfat
for f in 'Folder/same.txt' 'Folder/same_0001.txt'; do [ -f "$out/exfat.vol/$f" ] || fail "no $f"; done
# Names over 255 bytes are cut at a character boundary (FAT keeps the whole
# name, so its extension is kept too).
for pattern in 'fat/中*.txt' 'exfat/中*'; do
    kind="${pattern%%/*}"
    cjk="$(find "$out/$kind.vol/" -maxdepth 1 -name "${pattern#*/}" -printf '%f')"
    [ "$(printf '%s' "$cjk" | wc -c)" -le 255 ] && [ "$(printf '%s' "$cjk" | wc -c)" -ge 250 ] || fail "CJK name '$cjk'"
done
echo "scan_image hostile names: ok"
