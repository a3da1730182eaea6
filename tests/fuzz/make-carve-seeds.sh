#!/usr/bin/env bash
# Makes the seeds of the carve targets from the EPS samples of the fixtures
# (ImageMagick, Ghostscript, epstool): a text EPS cut and ended by zeros, a
# binary EPS whose section table is cut down to what the seed holds, at
# 512- and 4096-byte sectors; for carve_deepscan_fuzz the same inside small
# devices. Usage: bash tests/fuzz/make-carve-seeds.sh BUILD_DIR
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
fixtures="${1:?build dir}/fixtures"
bash "$here/../fixtures/make-fixture" eps_samples "$fixtures"
python3 - "$fixtures/eps_samples" "$here/corpus" <<'PY'
import struct, sys
eps, corpus = sys.argv[1:]
text = open(f"{eps}/i.eps", "rb").read()[:6000]
binary = bytearray(open(f"{eps}/i3.eps", "rb").read()[:5000])
# PostScript section from 30 over 3000 bytes, no metafile, a 1500-byte TIFF after it.
binary[4:28] = struct.pack("<6I", 30, 3000, 0, 0, 3030, 1500)
binary = bytes(binary[:4530])
def pad(b, ss):
    return b + bytes(-len(b) % ss)
for ss, flag in ((512, 0), (4096, 1)):
    for name, body in (("text", text), ("binary", binary)):
        seed = bytes([flag]) + struct.pack("<I", 0x05030201) + pad(bytes(ss) + pad(body, ss) + bytes(ss), ss)
        open(f"{corpus}/carve_eps_fuzz/{name}_{ss}.bin", "wb").write(seed)
    device = bytes(8 * ss) + pad(text, ss) + bytes(2 * ss) + pad(binary, ss) + bytes(ss) + pad(text, ss) + bytes(ss)
    open(f"{corpus}/carve_deepscan_fuzz/eps_{ss}.bin", "wb").write(bytes([flag]) + device)
PY
# carve_office_fuzz: the Ghostscript PDFs, j.pdf whole, j2.pdf cut to its
# first page and its information object and end.
bash "$here/../fixtures/make-fixture" pdf_samples "$fixtures"
python3 - "$fixtures/pdf_samples" "$here/corpus/carve_office_fuzz" <<'PY'
import struct, sys
pdf, corpus = sys.argv[1:]
j = open(f"{pdf}/j.pdf", "rb").read()
j2 = open(f"{pdf}/j2.pdf", "rb").read()
j2 = j2[:4096] + j2[j2.rfind(b"2 0 obj"):]
for ss, flag in ((512, 0), (4096, 1)):
    pad = lambda b: b + bytes(-len(b) % ss)
    for name, body in (("j", j), ("j2cut", j2)):
        seed = bytes([flag]) + struct.pack("<I", 0x05030201) + pad(bytes(ss) + pad(body) + bytes(ss))
        open(f"{corpus}/{name}_{ss}.bin", "wb").write(seed)
PY
# ... and the ZIP samples: the DOCX (core properties), the Zip64 and the
# data-descriptor archives.
bash "$here/../fixtures/make-fixture" zip_samples "$fixtures"
python3 - "$fixtures/zip_samples" "$here/corpus/carve_office_fuzz" <<'PY'
import struct, sys
zips, corpus = sys.argv[1:]
for name in ("z.docx", "y64.zip", "y_dd.zip"):
    body = open(f"{zips}/{name}", "rb").read()
    pad = lambda b: b + bytes(-len(b) % 512)
    seed = bytes([0]) + struct.pack("<I", 0x05030201) + pad(bytes(512) + pad(body) + bytes(512))
    open(f"{corpus}/{name.replace('.', '_')}_512.bin", "wb").write(seed)
PY
