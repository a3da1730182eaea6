#!/usr/bin/env bash
# make-crafted-carve.sh OUTDIR SIZE_MIB...
# Crafted images for the carver's cost benchmark and its fuzz seeds. For each
# size it writes, unless already there:
#   OUTDIR/jpegstart_<SIZE>m.img  a JPEG start (ImageMagick's picture up to its
#                                 scan header, its frame made 4000 x 3000) in
#                                 every sector, random bytes after it, no end
#                                 marker
#   OUTDIR/pdfstart_<SIZE>m.img   "%PDF-1.4" at the start of every sector,
#                                 random bytes after it
#   OUTDIR/mp4mdat_<SIZE>m.img    an ftyp box and a 64-bit mdat of 2^63-1
#                                 bytes in every sector
#   OUTDIR/riffmax_<SIZE>m.img    a RIFF/AVI header of size 0xFFFFFFFF in
#                                 every sector
#   OUTDIR/tiffloop_<SIZE>m.img   every 4096 bytes a TIFF whose directory
#                                 links to itself, its strip 32 MiB long
# The rest of each sector is random (the same seed per kind and size).
set -euo pipefail
out="$1"; shift
for tool in convert:imagemagick python3:python3; do
    command -v "${tool%%:*}" >/dev/null 2>&1 ||
        { echo "missing ${tool%%:*}: install the Debian package '${tool##*:}'" >&2; exit 77; }
done
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
convert -size 64x48 plasma:fractal -quality 90 "$work/p.jpg"
for mib in "$@"; do
    python3 - "$work/p.jpg" "$out" "$mib" <<'PY'
import os, random, struct, sys
jpg, out, mib = open(sys.argv[1], "rb").read(), sys.argv[2], int(sys.argv[3])
size = mib << 20
sos = jpg.find(b"\xff\xda")
jpeg_head = bytearray(jpg[:sos + 2 + (jpg[sos + 2] << 8 | jpg[sos + 3])])
# A large frame (4000 x 3000), so no pixel count ends the search early.
sof = jpeg_head.find(b"\xff\xc0")
jpeg_head[sof + 5:sof + 9] = struct.pack(">HH", 3000, 4000)
jpeg_head = bytes(jpeg_head)
ftyp = struct.pack(">I", 24) + b"ftypisom" + struct.pack(">I", 0x200) + b"isommp41"
mdat = struct.pack(">I", 1) + b"mdat" + struct.pack(">Q", (1 << 63) - 1)
riff = b"RIFF" + struct.pack("<I", 0xFFFFFFFF) + b"AVI LIST" + struct.pack("<I", 0xFFFFFFF0) + b"hdrlavih"
# II*\0, directory at 8: width, height, strip offset 32 MiB, strip length 32
# MiB; the next directory is itself.
entries = [(256, 4, 1, 640), (257, 4, 1, 480), (273, 4, 1, 32 << 20), (279, 4, 1, 32 << 20)]
tiff = b"II*\x00" + struct.pack("<I", 8) + struct.pack("<H", len(entries))
tiff += b"".join(struct.pack("<HHII", *e) for e in entries) + struct.pack("<I", 8)
kinds = {"jpegstart": (jpeg_head, 512), "pdfstart": (b"%PDF-1.4\n%", 512), "mp4mdat": (ftyp + mdat, 512),
         "riffmax": (riff, 512), "tiffloop": (tiff, 4096)}
for name, (head, every) in kinds.items():
    path = f"{out}/{name}_{mib}m.img"
    if os.path.exists(path):
        continue
    rng = random.Random(f"{name}{mib}")
    unit = bytearray(rng.randbytes(1 << 20))
    for at in range(0, len(unit), every):
        unit[at:at + len(head)] = head
        # No end marker of the kind in the random rest.
        if name == "jpegstart":
            unit[at + len(head):at + every] = bytes(b if b != 0xFF else 0xFE for b in unit[at + len(head):at + every])
    with open(path + ".part", "wb") as f:
        for _ in range(mib):
            f.write(unit)
    os.rename(path + ".part", path)
PY
done
