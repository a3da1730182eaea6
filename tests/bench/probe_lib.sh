# Start of the probe's test scripts, sourced with their arguments
# SCAN_IMAGE SOURCE_DIR FIXTURE_DIR and the fixtures they need: sets $probe,
# $src, $fixtures and a scratch folder $out removed on exit.
set -euo pipefail
probe="$1"; src="$2"; fixtures="$3"; shift 3
for fixture in "$@"; do bash "$src/tests/fixtures/make-fixture" "$fixture" "$fixtures"; done
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
