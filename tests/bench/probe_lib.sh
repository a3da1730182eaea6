# Start of the probe's test scripts, sourced with their arguments
# SCAN_IMAGE SOURCE_DIR FIXTURE_DIR and the fixtures they need: sets $probe,
# $src, $fixtures and a scratch folder $out removed on exit.
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"; shift 3
for fixture in "$@"; do bash "$src/tests/fixtures/make-fixture" "$fixture" "$fixtures"; done
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

# fls's names of a volume as "L|D<TAB>path[/]", metadata files left out
# (fls_names [fls options] IMAGE).
fls_names() {
    fls -r -p "$@" | python3 -c '
import sys
for line in sys.stdin:
    kind, _, rest = line.rstrip("\n").partition("\t")
    if "(Volume Label Entry)" in rest or any(p.startswith("$") for p in rest.split("/")):
        continue
    print(("D" if "*" in kind else "L") + "\t" + rest + ("/" if kind.startswith("d/d") else ""))' | sort
}
# The scan's listing in the same form, an erased 8.3 name shown as fls shows it.
scan_names() {
    awk -F'\t' '{ p = $4; n = split(p, part, "/")
        if ($2 == "D" && n > 0 && substr(part[n], 1, 1) == "#") sub(/#[^\/]*$/, "_" substr(part[n], 2), p)
        print $2 "\t" p }' "$1" | sort
}
