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
# ... and LibreOffice's documents: compound files (the summary in the mini
# stream, or in a sector of its own) and packages whose members' sizes follow
# their data.
bash "$here/../fixtures/make-fixture" office_samples "$fixtures"
python3 - "$fixtures/office_samples" "$here/corpus/carve_office_fuzz" <<'PY'
import struct, sys
office, corpus = sys.argv[1:]
for name, keep in (("z.doc", None), ("z.xls", None), ("z.ppt", 0x6000), ("z.xlsx", None)):
    body = open(f"{office}/{name}", "rb").read()[:keep]
    for ss, flag in ((512, 0), (4096, 1)):
        pad = lambda b: b + bytes(-len(b) % ss)
        seed = bytes([flag]) + struct.pack("<I", 0x05030201) + pad(bytes(ss) + pad(body) + bytes(ss))
        open(f"{corpus}/{name.replace('.', '_')}_{ss}.bin", "wb").write(seed)
PY
# carve_picture_fuzz: the small picture samples whole, the larger ones by their
# first sectors; the flag byte's upper bits choose the analyser.
bash "$here/../fixtures/make-fixture" picture_samples "$fixtures"
python3 - "$fixtures/picture_samples" "$here/corpus" <<'PY'
import os, struct, sys
pics, corpus = sys.argv[1:]
os.makedirs(f"{corpus}/carve_picture_fuzz", exist_ok=True)
# (analyser index in carve_picture_fuzz, sample, bytes kept)
for index, name, keep in ((0, "b.png", None), (1, "f.psd", 12000), (2, "c.gif", None), (3, "d.bmp", 2048),
                          (4, "g.ico", 4096), (4, "g.cur", None), (5, "h.icns", 4096), (9, "y.ttf", 3000),
                          (11, "y_crlf.dxf", 6000), (11, "y_999.dxf", None)):
    body = open(f"{pics}/{name}", "rb").read()[:keep]
    for ss, bit in ((512, 0), (4096, 1)):
        device = bytes(ss) + body + bytes(-len(body) % ss) + bytes(ss)
        seed = bytes([index << 1 | bit]) + struct.pack("<I", 0x05030201) + device
        open(f"{corpus}/carve_picture_fuzz/{name.replace('.', '_')}_{ss}.bin", "wb").write(seed)
PY
# A synthetic InDesign document for carve_picture_fuzz: 4096-byte pages, two
# objects on the data pages from page 2.
python3 - "$here/corpus" <<'PY'
import struct, sys
corpus = sys.argv[1]
doc = bytearray(b"\x55" * 4 * 4096)
doc[0:24] = bytes.fromhex("0606EDF5D81D46E5BD31EFE7FE74B71D") + b"DOCUMENT"
doc[280:284] = struct.pack("<I", 2)
at = 8192
for length in (1000, 2000):
    doc[at:at + 16] = bytes.fromhex("DE39397951884B6C8E63EEF8AEE0DD38")
    doc[at + 24:at + 28] = struct.pack("<I", length)
    at += length + 64
for ss, bit in ((512, 0), (4096, 1)):
    seed = bytes([10 << 1 | bit]) + struct.pack("<I", 0x05030201) + bytes(ss) + bytes(doc) + bytes(ss)
    open(f"{corpus}/carve_picture_fuzz/indd_{ss}.bin", "wb").write(seed)
PY
# Synthetic Paint Shop Pro, WordPerfect graphic and Sigma raw seeds.
python3 - "$here/corpus" <<'PY'
import struct, sys
corpus = sys.argv[1]
psp = bytearray(b"Paint Shop Pro Image File\n\x1a" + bytes(9))
for length in (100, 700, 300):
    psp += b"\x7eBK\x00" + bytes(2) + struct.pack("<I", length) + b"\x33" * length
wpg = b"wpg\x00" + b"\x44" * 1100
x3f = b"FOVb" + b"\x77" * 1496 + b"SECd" + bytes(72)
for index, name, body in ((12, "psp", bytes(psp)), (13, "wpg", wpg), (14, "x3f", x3f)):
    for ss, bit in ((512, 0), (4096, 1)):
        device = bytes(ss) + body + bytes(-len(body) % ss) + bytes(ss)
        seed = bytes([index << 1 | bit]) + struct.pack("<I", 0x05030201) + device
        open(f"{corpus}/carve_picture_fuzz/{name}_{ss}.bin", "wb").write(seed)
PY
# Canon raw, XML family, 3D Studio and drawing seeds for carve_picture_fuzz
# (samples by gpsbabel, plistlib and assimp; synthetic raw and drawings),
# and R2007 header blocks for carve_dwg_fuzz.
python3 - "$fixtures/picture_samples" "$here/corpus" <<'PY'
import os, struct, sys
pics, corpus = sys.argv[1:]
crw = bytearray(b"\x5a" * (0x64000 + 800))
crw[0:16] = b"II\x1a\x00\x00\x00HEAPCCDR\x02\x00"
crw[0x64000 + 700:0x64000 + 706] = bytes([0x07, 0x28, 0xA8, 0, 0, 0])
crw[0x64000 + 706:] = bytes(len(crw) - 0x64000 - 706)
r15 = bytearray(1024)
r15[0:6] = b"AC1015"
r15[21:25] = struct.pack("<I", 2)
for i, (seeker, size) in enumerate(((0x100, 0x2000), (0x9000, 0x400))):
    r15[25 + 9 * i:34 + 9 * i] = bytes([i]) + struct.pack("<II", seeker, size)
r21 = bytearray(2048)
r21[0:6] = b"AC1021"
data = bytearray(717)
data[24:28] = struct.pack("<I", 19)
data[32:51] = bytes([0x08]) + struct.pack("<QQ", 0x77, 0xAB) + bytes([0x58, 0x00])
for k in range(3):
    for i in range(239):
        r21[128 + 3 * i + k] = data[k * 239 + i]
seeds = [(15, "crw", bytes(crw)), (17, "mesh", open(f"{pics}/y16.3ds", "rb").read()),
         (18, "r15", bytes(r15)), (18, "r21", bytes(r21))]
for name in ("y.svg", "y.gpx", "y.plist"):
    seeds.append((16, name.replace(".", "_"), open(f"{pics}/{name}", "rb").read()))
for index, name, body in seeds:
    for ss, bit in ((512, 0), (4096, 1)):
        device = bytes(ss) + body + bytes(-len(body) % ss) + bytes(ss)
        seed = bytes([index << 1 | bit]) + struct.pack("<I", 0x05030201) + device
        open(f"{corpus}/carve_picture_fuzz/{name}_{ss}.bin", "wb").write(seed)
os.makedirs(f"{corpus}/carve_dwg_fuzz", exist_ok=True)
open(f"{corpus}/carve_dwg_fuzz/header.bin", "wb").write(bytes([1]) + bytes(r21[128:128 + 984]))
open(f"{corpus}/carve_dwg_fuzz/stream.bin", "wb").write(bytes([255]) + bytes(data[32:51]))
PY
# carve_archive_fuzz: the archive samples (archive_samples.sh), small ones
# whole and larger ones by their first sectors (4096-byte sectors for a few
# small ones), each for its streaming analyser and its classic sizer; the
# flag byte's upper bits choose the analyser (the index in
# carve_archive_fuzz.cpp), 36 the xar table alone.
bash "$here/../fixtures/make-fixture" archive_samples "$fixtures"
python3 - "$fixtures/archive_samples" "$here/corpus" <<'PY'
import os, struct, sys, zlib
root, corpus = sys.argv[1:]
out = f"{corpus}/carve_archive_fuzz"
os.makedirs(out, exist_ok=True)
# (analyser indexes, sample, bytes kept)
for indexes, name, keep in (((0, 1), "x.gz", None), ((0, 1), "big.gz", 3000), ((2, 3), "y.rar", None),
                            ((4, 5), "y5.lzh", None), ((4, 5), "y.lzh", 4000), ((6, 7), "y.tar", 3072),
                            ((8, 9), "y.sit", 600), ((8, 9), "y.sitx", None), ((10, 11), "esc.rtf", None),
                            ((10, 11), "z2.rtf", None), ((12, 35), "z.html", None), ((12, 13), "y16.html", None),
                            ((14,), "y.mobi", None), ((15,), "y.mbox", None), ((16,), "y.dbx", 700),
                            ((16,), "y16.dbx", None), ((17,), "y.hlp", 600), ((18,), "y.chm", 1024),
                            ((19,), "y.itl", 600), ((20,), "y.cpt", None), ((21,), "y.fh11", None),
                            ((22,), "y.psafe3", None), ((23,), "y.jks", None), ((24,), "y.sib", None),
                            ((25,), "y.ngrr", None), ((26,), "y.dmg", None), ((27,), "y.xar", None),
                            ((27,), "y7f.pkg", 600), ((28,), "y.cab", 1024), ((29,), "y.one", None),
                            ((30,), "y.mdb", 12288), ((31,), "y.doc", 600), ((32,), "y.wpd", 600),
                            ((33,), "y.mny", 600), ((34,), "y14.pst", 600), ((34,), "y23.pst", 600)):
    body = open(f"{root}/{name}", "rb").read()[:keep]
    for index in indexes:
        # 4096-byte sectors for a few small ones only: the seeds stay small.
        for ss, bit in ((512, 0), (4096, 1))[:2 if len(body) <= 2500 and index in (0, 10, 12, 23) else 1]:
            device = bytes(ss) + body + bytes(-len(body) % ss) + bytes(ss)
            seed = bytes([index << 1 | bit]) + struct.pack("<I", 0x05030201) + device
            open(f"{out}/{index}_{name.replace('.', '_')}_{ss}.bin", "wb").write(seed)
toc = b"<xar><toc><file id='1'><data><offset>0</offset><length>9</length></data><file id='2'/></file></toc></xar>"
open(f"{out}/toc.bin", "wb").write(bytes([36 << 1]) + struct.pack("<I", len(toc)) + zlib.compress(toc))
PY
# carve_audio_fuzz: the audio samples, the small ones whole and the larger by
# their first sectors; the flag byte's upper bits choose the analyser (10:
# the frame-header and ID3 readers alone, on a tag's first bytes and an ID3v1 tag).
bash "$here/../fixtures/make-fixture" audio_samples "$fixtures"
python3 - "$fixtures/audio_samples" "$here/corpus" <<'PY'
import os, struct, sys
snd, corpus = sys.argv[1:]
out = f"{corpus}/carve_audio_fuzz"
os.makedirs(out, exist_ok=True)
read = lambda name: open(f"{snd}/{name}", "rb").read()
seeds = [(0, "k2", read("k2.mp3")), (0, "k", read("k.mp3")), (0, "k2head", read("k2.mp3")[:20000]),
         (1, "wav", read("l.wav")[:1024]), (1, "avi", read("p.avi")[:2048]), (1, "ani", read("u.ani")),
         (1, "cdr", read("u.cdr")), (2, "aiff", read("l.aiff")[:1024]), (2, "aifc", read("l3.aifc")[:1024]),
         (3, "au", read("l.au")[:1024]), (4, "mid", read("y.mid")), (5, "ogg", read("m.ogg")),
         (6, "flv", read("s.flv")[:20000]), (7, "ape", read("q.ape")), (7, "ape_old", read("q_old.ape")),
         (8, "aac", read("n.aac")), (9, "wma", read("o.wma")[:12000]), (9, "wmv", read("o.wmv")[:12000])]
for index, name, body in seeds:
    for ss, bit in ((512, 0), (4096, 1)):
        if len(body) > 100000 and ss == 4096:
            continue
        device = bytes(ss) + body + bytes(-len(body) % ss) + bytes(ss)
        seed = bytes([index << 1 | bit]) + struct.pack("<I", 0x05030201) + device
        open(f"{out}/{name}_{ss}.bin", "wb").write(seed)
open(f"{out}/readers.bin", "wb").write(bytes([10 << 1]) + read("k.mp3")[:1024] + read("k2.mp3")[-128:])
PY
# carve_movie_fuzz: the movie samples by ffmpeg and sqlite3 cut to their first
# sectors, the small synthetic ones whole; the flag byte's upper bits choose
# the analyser.
bash "$here/../fixtures/make-fixture" movie_samples "$fixtures"
python3 - "$fixtures/movie_samples" "$here/corpus" <<'PY'
import os, struct, sys
movies, corpus = sys.argv[1:]
os.makedirs(f"{corpus}/carve_movie_fuzz", exist_ok=True)
# (analyser index in carve_movie_fuzz, sample, bytes kept)
for index, name, keep in ((0, "p.mov", 8192), (0, "syn_exif.mov", None), (0, "syn_iphone.mov", None),
                          (0, "syn.trec", None), (1, "p.mp4", 4096), (2, "p.3gp", 4096), (3, "p2.mp4", 4096),
                          (4, "t.ts", 24064), (4, "t.m2ts", 24576), (5, "t1.mpg", 24576), (5, "t.mpg", 8192),
                          (6, "w2.rm", 8192), (6, "syn_marker.rmvb", None), (7, "r.mkv", 2048), (8, "u.swf", 1024),
                          (8, "u_cws.swf", 1024), (9, "v.mxf", 8192), (10, "syn.mlv", None), (11, "syn.aep", None),
                          (12, "y.sqlite", None)):
    body = open(f"{movies}/{name}", "rb").read()[:keep]
    for ss, bit in ((512, 0), (4096, 1)):
        device = bytes(ss) + body + bytes(-len(body) % ss) + bytes(ss)
        seed = bytes([index << 1 | bit]) + struct.pack("<I", 0x05030201) + device
        open(f"{corpus}/carve_movie_fuzz/{name.replace('.', '_')}_{ss}.bin", "wb").write(seed)
PY
