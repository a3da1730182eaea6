#!/usr/bin/env bash
# scan_image carves: a deep scan of the composed EPS images (512- and
# 4096-byte sectors, zero and random gaps) lists one node per sample under
# eps/ and --recover writes each sample byte-exact, the label tree included.
# Two ZIP archives deleted from a FAT32 volume, the first one's directory
# naming the second: besides the volume's own entries, each is carved on its
# own and recovered byte-exact.
# Usage: scan_image_carve.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@" carve_eps carve_zip
fail() { echo "scan_image carve: $*" >&2; exit 1; }
for img in "$fixtures"/carve_eps/eps_*.img; do
    base="$(basename "$img" .img)"
    ss="${base#eps_}"; ss="${ss%%_*}"
    rec="$out/$base"
    "$probe" deep "$img" --sector-size "$ss" --recover "$rec" > "$out/$base.listing" 2>"$out/err" ||
        fail "$base: probe failed"
    python3 - "$fixtures/carve_eps/$base.json" "$rec" "$out/$base.listing" <<'PY' || fail "$base differs"
import hashlib, json, os, sys
manifest, rec, listing = sys.argv[1:]
want = sorted(s["sha256"] for s in json.load(open(manifest))["samples"])
got = []
for d, _, files in os.walk(rec):
    for f in files:
        got.append(hashlib.sha256(open(os.path.join(d, f), "rb").read()).hexdigest())
lines = [l.split("\t") for l in open(listing) if "\t" in l]
names = sorted(l[3].strip() for l in lines if l[0] == "34" and not l[3].strip().endswith("/"))
expected = [f"eps/FILE{i:03d}.EPS" for i in range(len(want))]
if sorted(got) != want or names != expected:
    print(sorted(got), want, names, sep="\n", file=sys.stderr)
    sys.exit(1)
PY
done
img="$fixtures/carve_zip/named64_fat32.img"
"$probe" deep "$img" --recover "$out/fat32" > "$out/fat32.listing" 2>"$out/err" || fail "named64_fat32: probe failed"
python3 - "${img%.img}.json" "$out/fat32" "$out/fat32.listing" <<'PY' || fail "named64_fat32: an archive not carved on its own"
import collections, hashlib, json, os, sys
manifest, rec, listing = sys.argv[1:]
samples = json.load(open(manifest))["samples"]
carved = sorted(int(l.split("\t")[2]) for l in open(listing) if l.startswith("34\t") and l.rstrip().endswith(".ZIP"))
found = collections.Counter(hashlib.sha256(open(os.path.join(d, f), "rb").read()).hexdigest()
                            for d, _, files in os.walk(rec) for f in files)
# Each twice: the volume's deleted entry and the carved file.
if carved != sorted(s["size"] for s in samples) or any(found[s["sha256"]] != 2 for s in samples):
    print(carved, dict(found), file=sys.stderr)
    sys.exit(1)
PY
echo "scan_image carve: ok"
