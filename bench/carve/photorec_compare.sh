#!/usr/bin/env bash
# photorec_compare.sh SCAN_IMAGE [WORKDIR]
# The carver beside PhotoRec on the same disk: a 1 GiB FAT32 image of real
# files made by real tools (pictures by ImageMagick, sound by sox and ffmpeg,
# video by ffmpeg, PDF by Ghostscript with an Info dictionary, DOCX/XLSX by
# LibreOffice, ZIP by zip, tar.gz by tar, HTML/RTF by pandoc, text notes and
# random blobs), written with mtools; about a third of them deleted and a
# second batch written over the holes, then random filler up to about 90%
# full. manifest.tsv lists every file written: batch, state, path, size,
# sha256. One run times `scan_image deep IMG` and PhotoRec over the whole
# image (MB/s and peak memory; the median of RUNS=3 cold timings of each,
# alternating), then recovers with
# `scan_image deep IMG --recover DIR`, and counts the manifest files each
# recovered whole (byte-identical, or followed by at most 4096 bytes) and
# byte-identical. Text, CSV and random data (no carved format) are left out
# of the counts. A second image holds the same files of carved formats one
# after another on sector borders (tests/fixtures/carve_compose.py), each
# followed by random bytes (the rest of its last sector and a random gap of 1
# to 40 sectors), as on a used card; both tools scan and recover it too. Per
# image and tool it prints the files recovered byte-exact, whole (followed by
# at most 4096 bytes), overrun (the file and more than 4096 bytes) and lost,
# with throughput and peak memory. The images and the files are kept in
# WORKDIR for a rerun.
set -euo pipefail
probe="$(readlink -f "$1")"
work="$(mkdir -p "${2:-/tmp/salvor-photorec}" && readlink -f "${2:-/tmp/salvor-photorec}")"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C TZ=UTC TERM="${TERM:-xterm}" QT_QPA_PLATFORM=offscreen
for tool in photorec:testdisk convert:imagemagick ffmpeg:ffmpeg sox:sox gs:ghostscript libreoffice:libreoffice-writer-nogui \
    pandoc:pandoc zip:zip mkfs.vfat:dosfstools mcopy:mtools openssl:openssl python3:python3; do
    command -v "${tool%%:*}" > /dev/null || { echo "photorec_compare: ${tool%%:*} missing (package ${tool#*:})" >&2; exit 2; }
done
img="$work/fat32.img"
src="$work/src"

rnd() { # rnd FILE BYTES SEED: reproducible random bytes
    # openssl ends on SIGPIPE once head has enough: only head's status counts.
    { openssl enc -aes-128-ctr -nosalt -pass "pass:$3" -pbkdf2 -in /dev/zero 2> /dev/null || true; } | head -c "$2" > "$1"
}

make_batch() { # make_batch DIR N: real files of every family, N sets them apart
    local d="$1" b="$2" i
    mkdir -p "$d" && cd "$d"
    convert -seed "$b" -size 2400x1800 plasma:fractal -blur 0x1 "$work/base$b.ppm"
    for i in $(seq 1 $((60 / b))); do
        local w=$((400 + (i * 97 + b * 31) % 1800)) h=$((300 + (i * 61 + b * 17) % 1400))
        convert "$work/base$b.ppm" -crop "${w}x${h}+$((i * 13 % 500))+$((i * 7 % 400))" -quality $((70 + i % 25)) \
            -set comment "photo $b-$i" "img_${b}_$i.jpg"
    done
    for i in $(seq 1 $((12 / b))); do
        local g="$((200 + i * 40))x$((150 + i * 30))+$((i * 11))+$((i * 5))"
        convert "$work/base$b.ppm" -crop "$g" "pic_${b}_$i.png"
        convert "$work/base$b.ppm" -crop "$g" -colors 128 "pic_${b}_$i.gif"
        convert "$work/base$b.ppm" -crop "$g" -type TrueColor "BMP3:pic_${b}_$i.bmp"
        convert "$work/base$b.ppm" -crop "$g" -compress lzw "pic_${b}_$i.tif"
    done
    for i in $(seq 1 $((8 / b))); do
        sox -n -r 44100 -c 2 "snd_${b}_$i.wav" synth $((3 + i)) sine $((200 + 50 * i)) sine $((300 + 70 * i)) vol 0.5
        ffmpeg -v error -f lavfi -i "sine=frequency=$((300 + 40 * i)):duration=$((20 + 5 * i))" -c:a libmp3lame -b:a 128k \
            -metadata title="Song $b-$i" -metadata artist="Band $b" "song_${b}_$i.mp3"
    done
    for i in $(seq 1 $((4 / b))); do
        ffmpeg -v error -f lavfi -i "testsrc=size=640x480:rate=25:duration=$((4 + i))" -f lavfi -i "sine=duration=$((4 + i))" \
            -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "clip_${b}_$i.mp4"
        ffmpeg -v error -f lavfi -i "testsrc2=size=480x360:rate=25:duration=$((3 + i))" -c:v mjpeg -q:v 5 "clip_${b}_$i.mov"
        ffmpeg -v error -f lavfi -i "mandelbrot=size=320x240:rate=25" -t $((3 + i)) -c:v mpeg4 "clip_${b}_$i.avi"
    done
    for i in $(seq 1 $((8 / b))); do
        seq 1 $((200 * i)) | awk -v b="$b" -v i="$i" '{ print "Note " b "-" i " line " $1 " of the report on field work." }' \
            > "note_${b}_$i.txt"
        { echo "[ /Title (Report $b-$i) /Author (Author $b) /Subject (Field work) /DOCINFO pdfmark";
          echo "/Helvetica findfont 11 scalefont setfont";
          for p in $(seq 1 $((2 + i))); do
              for l in $(seq 1 50); do echo "40 $((780 - l * 14)) moveto (Page $p line $l of report $b-$i) show"; done
              echo showpage
          done; } > "$work/doc.ps"
        gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile="doc_${b}_$i.pdf" "$work/doc.ps"
        pandoc -s --metadata title="Page $b-$i" -f markdown -t html "note_${b}_$i.txt" -o "page_${b}_$i.html"
        pandoc -s -f markdown -t rtf "note_${b}_$i.txt" -o "memo_${b}_$i.rtf"
        zip -q -X "arch_${b}_$i.zip" "note_${b}_$i.txt" "pic_${b}_1.png"
        tar -czf "arch_${b}_$i.tar.gz" "note_${b}_$i.txt" "pic_${b}_1.bmp"
        rnd "blob_${b}_$i.bin" $((100000 * i + 777)) "blob$b$i"
    done
    for i in $(seq 1 $((4 / b))); do
        cp "note_${b}_$i.txt" "$work/lo/report_${b}_$i.txt"
        seq 1 $((300 * i)) | awk '{ print $1 "," $1 * 3 "," $1 % 7 }' > "$work/lo/sheet_${b}_$i.csv"
    done
    cd "$work"
}

if [ ! -f "$img.done" ]; then
    rm -rf "$src" "$work/lo" && mkdir -p "$src" "$work/lo"
    make_batch "$src/b1" 1
    make_batch "$src/b2" 2
    # Office documents with core properties, in one LibreOffice run per kind.
    (cd "$work/lo" && libreoffice --headless --convert-to docx:"MS Word 2007 XML" report_*.txt > /dev/null 2>&1 &&
        libreoffice --headless --convert-to xlsx:"Calc MS Excel 2007 XML" sheet_*.csv > /dev/null 2>&1)
    for f in "$work"/lo/*.docx "$work"/lo/*.xlsx; do
        n="$(basename "$f")"; case "$n" in *_1_*) mv "$f" "$src/b1/";; *) mv "$f" "$src/b2/";; esac
    done
    rm -f "$img" && mkfs.vfat -F 32 -C "$img" 1048576 > /dev/null
    mmd -i "$img" ::/b1 ::/b2 ::/fill
    mcopy -i "$img" "$src"/b1/* ::/b1/
    # About a third of the first batch deleted, the second batch written over the holes.
    python3 - "$src/b1" > "$work/deleted.txt" <<'PY'
import os, sys
names = sorted(os.listdir(sys.argv[1]))
print("\n".join(n for i, n in enumerate(names) if i % 3 == 1))
PY
    while read -r n; do mdel -i "$img" "::/b1/$n"; done < "$work/deleted.txt"
    mcopy -i "$img" "$src"/b2/* ::/b2/
    # Random filler up to about 90% full.
    free=$(mdir -i "$img" -s ::/ 2> /dev/null | awk '/bytes free/ { gsub(",", "", $1); print $1 }' | tail -1)
    target=$(( (1073741824 * 9 / 10) - (1073741824 - free) ))
    n=0
    while [ "$target" -gt 0 ]; do
        sz=$(( target > 33554432 ? 33554432 : target ))
        rnd "$work/fill.bin" "$sz" "fill$n"
        mcopy -i "$img" "$work/fill.bin" "::/fill/f$n.bin"
        target=$((target - sz)); n=$((n + 1))
    done
    rm -f "$work/fill.bin"
    python3 - "$src" "$work/deleted.txt" > "$work/manifest.tsv" <<'PY'
import hashlib, os, sys
src, deleted = sys.argv[1], set(open(sys.argv[2]).read().split())
for b in ("b1", "b2"):
    for n in sorted(os.listdir(f"{src}/{b}")):
        data = open(f"{src}/{b}/{n}", "rb").read()
        state = "deleted" if b == "b1" and n in deleted else "live"
        print(f"{b}\t{state}\t{b}/{n}\t{len(data)}\t{hashlib.sha256(data).hexdigest()}")
PY
    touch "$img.done"
fi

# The random-tail image: the carved formats' files back to back behind random gaps.
tail_img="$work/tail.img"
if [ ! -f "$tail_img.done" ]; then
    python3 - "$src" "$work/manifest.tsv" > "$work/tail_layout.json" <<'PY'
import json, sys
src, rows = sys.argv[1], [l.split("\t") for l in open(sys.argv[2]).read().splitlines()]
skip = (".txt", ".csv", ".bin")
files = [r[2] for r in rows if not r[2].endswith(skip)]
print(json.dumps({"sector": 512, "seed": 57, "samples": [
    {"file": f"{src}/{p}", "gap": 1 + (i * 11) % 40, "gap_kind": "random", "pad": "random"} for i, p in enumerate(files)]}))
PY
    python3 "$(dirname "$0")/../../tests/fixtures/carve_compose.py" "$work/tail_layout.json" "$tail_img" "$work/tail_manifest.json"
    touch "$tail_img.done"
fi

timed() { # timed NAME COMMAND...: one timing (wall seconds, peak KiB) appended to $work/NAME.time
    sync; echo 3 > /proc/sys/vm/drop_caches 2> /dev/null || true
    /usr/bin/time -f '%e %M' -a -o "$work/$1.time" "${@:2}" > "$work/$1.out" 2> "$work/$1.err" || true
}
# Each tool is timed RUNS times (3 unless set), the two alternating, each run
# from a dropped cache: a single cold timing on a shared machine can be off by
# half, and the median is what is reported.
runs="${RUNS:-3}"
rm -rf "$work/out" "$work/salvor" "$work/salvor_scan.time" "$work/photorec.time"
cd "$work" # PhotoRec writes photorec.log into the current folder
for _ in $(seq 1 "$runs"); do
    timed salvor_scan "$probe" deep "$img"
    rm -rf "$work/out" && mkdir -p "$work/out"
    timed photorec photorec /log /d "$work/out/rec" /cmd "$img" partition_none,options,paranoid,fileopt,everything,enable,wholespace,search
done
"$probe" deep "$img" --recover "$work/salvor" > "$work/salvor_recover.out" 2>&1 || true
# The random-tail image: one timing of each, then the recovery.
rm -rf "$work/tail_out" "$work/tail_salvor" "$work/tail_salvor_scan.time" "$work/tail_photorec.time"
mkdir -p "$work/tail_out"
timed tail_salvor_scan "$probe" deep "$tail_img"
timed tail_photorec photorec /log /d "$work/tail_out/rec" /cmd "$tail_img" partition_none,options,paranoid,fileopt,everything,enable,wholespace,search
"$probe" deep "$tail_img" --recover "$work/tail_salvor" > "$work/tail_salvor_recover.out" 2>&1 || true

python3 - "$work" "$src" <<'PY'
import hashlib, os, sys
work, src = sys.argv[1], sys.argv[2]
def rate(name, size): # the median time of the runs and the largest peak
    runs = [l.split()[-2:] for l in open(f"{work}/{name}.time") if l.strip() and l.split()[0][0].isdigit()]
    times = sorted(float(t) for t, _ in runs)
    secs = times[len(times) // 2]
    return secs, size / 1e6 / max(secs, 1e-9), max(int(k) for _, k in runs) / 1024, times
def files(root):
    out = []
    for d, _, names in os.walk(root):
        for n in names:
            out.append(os.path.join(d, n))
    return out
skip = (".txt", ".csv", ".bin")
wanted = [l.split("\t") for l in open(f"{work}/manifest.tsv").read().splitlines()]
wanted = [w for w in wanted if not w[2].endswith(skip)]
def judge(found, per, column):
    # Recovered files by their first 64 bytes; each wanted file is exact,
    # whole (at most 4096 bytes more), overrun (more) or lost.
    heads = {}
    for p in found:
        with open(p, "rb") as f: heads.setdefault(f.read(64), []).append(p)
    counts = {"exact": 0, "whole": 0, "overrun": 0, "lost": 0}
    for batch, state, path, n, sha in wanted:
        data = open(f"{src}/{path}", "rb").read()
        best = "lost"
        for p in heads.get(data[:64], []):
            size = os.path.getsize(p)
            if size < len(data): continue
            with open(p, "rb") as f: got = f.read(len(data))
            if got != data: continue
            kind = "exact" if size == len(data) else "whole" if size <= len(data) + 4096 else "overrun"
            order = ["lost", "overrun", "whole", "exact"]
            if order.index(kind) > order.index(best): best = kind
        counts[best] += 1
        if best in ("exact", "whole"): counts["whole"] += best == "exact"
        ext = path.split(".", 1)[1]
        per.setdefault(ext, [0, 0, 0])
        per[ext][0] += column == 1
        per[ext][column] += best in ("exact", "whole")
    return counts
def carved_files(salvor_dir):
    # Only the carved trees count, not the file system's own: the recovery
    # writes them under kind folders RAW_NNNN (by category) and NNNN (by label).
    return [f for kind in sorted(os.listdir(salvor_dir)) if kind.startswith("RAW_") or kind.isdigit()
            for f in files(f"{salvor_dir}/{kind}")]
def report(title, image, scan, photorec, salvor_dir, photorec_dir, listing):
    size = os.path.getsize(image)
    salvor = carved_files(salvor_dir)
    rec = files(photorec_dir)
    ss, sm, sp, st = rate(scan, size)
    ps, pm, pp, pt = rate(photorec, size)
    per = {}
    sc, pc = judge(salvor, per, 1), judge(rec, per, 2)
    print(f"{title}: {size / 2**20:.0f} MiB, manifest files of carved formats: {len(wanted)}")
    for name, (secs, mbps, peak, times), c, n in (("salvor", (ss, sm, sp, st), sc, len(salvor)),
                                                 ("photorec", (ps, pm, pp, pt), pc, len(rec))):
        print(f"  {name:8} {secs:7.2f} s {mbps:7.1f} MB/s peak {peak:5.0f} MiB; byte-exact {c['exact']}, "
              f"whole {c['whole']}, overrun {c['overrun']}, lost {c['lost']} ({n} files written); runs (s) "
              + " ".join(f"{t:.2f}" for t in times))
    print("  whole by type (files, salvor, photorec): " + ", ".join(f"{e} {n}/{a}/{b}" for e, (n, a, b) in sorted(per.items())))
    print(f"  throughput ratio {sm / max(pm, 1e-9):.2f}x (medians)")
report("FAT32 image", f"{work}/fat32.img", "salvor_scan", "photorec", f"{work}/salvor", f"{work}/out",
       f"{work}/salvor_scan.out")
report("random-tail image", f"{work}/tail.img", "tail_salvor_scan", "tail_photorec", f"{work}/tail_salvor",
       f"{work}/tail_out", f"{work}/tail_salvor_scan.out")
PY
