#!/usr/bin/env bash
# SIGTERM, SIGINT and SIGHUP sent to scan_image --recover (bare and with
# --services) while it writes a 768 MiB file (big_file fixture) stop it as
# the program's Stop does: the probe ends by the signal, and the destination
# holds nothing partial: no temporary ".part" file, no empty file under a
# file's name, and each file there whole (its hash that of the original; the
# big one whole or absent).
# Usage: scan_image_signals.sh SCAN_IMAGE SOURCE_DIR FIXTURE_DIR
source "$(dirname "${BASH_SOURCE[0]}")/probe_lib.sh" "$@" big_file
export QT_QPA_PLATFORM=offscreen
fail() { echo "scan_image signals: $*" >&2; exit 1; }
command -v python3 >/dev/null || fail "missing 'python3': install the Debian package 'python3'"
d="$fixtures/big_file"

# run_case MODE SIGNAL: the probe started with the signals' default actions,
# the signal sent once the big file's temporary file holds 16 MiB or more and
# not yet all of it; prints how the probe ended.
run_case() {
    local dest="$out/$1-$2"
    local args=(--offset 2048)
    [ "$1" = services ] && args=(--services)
    python3 - "$probe" "$d/big_file.img" "$dest" "$2" "$out/$1-$2.err" "${args[@]}" <<'PY'
import os, signal, subprocess, sys, time
probe, image, dest, name, err = sys.argv[1:6]
number = getattr(signal, "SIG" + name)
def defaults():
    for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(s, signal.SIG_DFL)
with open(err, "w") as errors:
    p = subprocess.Popen([probe, "quick", image, *sys.argv[6:], "--recover", dest],
                         stdout=subprocess.DEVNULL, stderr=errors, preexec_fn=defaults)
def part_size():
    for folder, _, files in os.walk(dest):
        for f in files:
            if f.endswith(".part"):
                try:
                    return os.path.getsize(os.path.join(folder, f))
                except OSError:
                    pass
    return 0
deadline = time.monotonic() + 300
while p.poll() is None and time.monotonic() < deadline:
    if 16 << 20 <= part_size() < 768 << 20:
        p.send_signal(number)
        break
    time.sleep(0.001)
else:
    p.kill()
    p.wait()
    print("not caught mid-file (status %s)" % p.returncode)
    sys.exit(0)
try:
    p.wait(timeout=120)
except subprocess.TimeoutExpired:
    p.kill()
    p.wait()
    print("still running 120 s after the signal")
    sys.exit(0)
print("ended by SIG%s" % name if p.returncode == -number else "ended with status %s" % p.returncode)
PY
}

for mode in bare services; do
    for sig in TERM INT HUP; do
        tag="$mode $sig"
        ended="$(run_case "$mode" "$sig")"
        echo "$tag: $ended"
        [ "$ended" = "ended by SIG$sig" ] || { tail -20 "$out/$mode-$sig.err" >&2; fail "$tag: $ended"; }
        dest="$out/$mode-$sig"
        debris="$(find "$dest" -type f \( -empty -o -name '*.part' -o -name '.salvor-*' \))"
        [ -z "$debris" ] || fail "$tag: left in the destination: $debris"
        while IFS= read -r f; do
            sum="$(sha256sum < "$f" | cut -c1-64)"
            grep -qx "$sum	$(basename "$f")" "$d/files.sha256.txt" || fail "$tag: $f is not its original whole"
        done < <(find "$dest" -type f)
        rm -rf "$dest"
    done
done
echo "scan_image signals: ok"
