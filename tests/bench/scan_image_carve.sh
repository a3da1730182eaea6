#!/usr/bin/env bash
# scan_image carves: a deep scan of the composed EPS images (512- and
# 4096-byte sectors, zero and random gaps) lists one node per sample under
# eps/ and --recover writes each sample byte-exact, the label tree included.
# Usage: scan_image_carve.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@" carve_eps
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
echo "scan_image carve: ok"
