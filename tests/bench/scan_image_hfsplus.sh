#!/usr/bin/env bash
# scan_image end to end on HFS+: a quick scan of the journaled synthetic volume
# lists its deleted files and --recover writes every file, live and deleted,
# equal to the generator's manifest; the xorriso volume, read at its partition
# start (--offset), gives every source file at its path; a deep scan of
# journaled volumes away from sector 0 lists and writes their deleted files
# as the quick scan does.
# Usage: scan_image_hfsplus.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"
bash "$src/tests/fixtures/make-fixture" hfs_synth "$fixtures"
bash "$src/tests/fixtures/make-fixture" hfs_xorriso "$fixtures"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
fail() { echo "scan_image hfsplus: $*" >&2; exit 1; }
hashes() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum | sed 's| \./| |'); }

synth="$fixtures/hfs_synth/synth_4096"
"$probe" quick "$synth.img" --recover "$out/synth" > "$out/synth.txt" 2>/dev/null
[ "$(grep -c $'^31\tD\t' "$out/synth.txt")" -eq "$(grep -c $'\tD\t' "$synth.manifest.txt")" ] || fail "deleted files differ"
[ "$(hashes "$out/synth" | cut -c1-64 | sort)" = "$(cut -f1 "$synth.manifest.txt" | sort)" ] ||
    fail "recovered synthetic files differ from the manifest"

x="$fixtures/hfs_xorriso/hfs_x2048"
"$probe" quick "$x.iso" --offset "$(cat "$x.start")" --recover "$out/x" > "$out/x.txt" 2>/dev/null
# The program's layout: the kind folder, the volume's folder in it.
[ "$(ls -A "$out/x")" = "HFS+_0001" ] || fail "other folders than HFS+_0001: $(ls -A "$out/x")"
vol=("$out/x/HFS+_0001/"*)
[ "${#vol[@]}" -eq 1 ] && [ -d "$vol" ] || fail "not one volume folder in HFS+_0001: $(ls -A "$out/x/HFS+_0001")"
[ "$(hashes "$vol" | sort)" = "$(grep -v '  f$' "$x.sha256.txt" | sort)" ] || fail "recovered xorriso files differ"
# A deep scan of journaled volumes away from sector 0 (a GPT partition at 40,
# two volumes on a disk without a table) lists the files their journals show
# deleted as deleted, and writes every file, live and deleted, equal to the
# manifests.
bash "$src/tests/fixtures/make-fixture" hfs_deep "$fixtures"
deep="$fixtures/hfs_deep"
for d in gpt40:journaled two:journaled,second; do
    name="${d%%:*}"
    IFS=, read -r -a names <<< "${d#*:}"
    manifests=("${names[@]/#/$deep/}"); manifests=("${manifests[@]/%/.manifest.txt}")
    "$probe" deep "$deep/$name.img" --recover "$out/deep_$name" > "$out/deep_$name.txt" 2>/dev/null ||
        fail "deep $name: some files failed: $(tail -n 1 "$out/deep_$name.txt")"
    [ "$(grep -c $'^31\tD\t' "$out/deep_$name.txt")" -eq "$(cat "${manifests[@]}" | grep -c $'\tD\t')" ] ||
        fail "deep $name: deleted files differ"
    [ "$(hashes "$out/deep_$name" | cut -c1-64 | sort)" = "$(cut -f1 "${manifests[@]}" | sort)" ] ||
        fail "deep $name: recovered files differ from the manifests"
done
echo "scan_image hfsplus: ok"
