#!/usr/bin/env python3
"""make_inputs.py OUTDIR FIXTURES: the five inputs of bench_carve, made once.

zeros.img      1 GiB of zeros (sparse): the keyless path.
random.img     1 GiB of random bytes: weak keys only.
camera.img     1 GiB card: the JPEG samples (photo_samples) one after the
               other, with a few MP4 and MOV clips made by ffmpeg, contiguous.
documents.img  1 GiB: the picture, PDF, EPS and ZIP samples repeated behind
               random filler of 1 to 64 sectors.
large.img      a 2 GiB stored ZIP of one sparse member: a long walk.
"""
import os
import random
import struct
import subprocess
import sys
import zlib

GIB = 1 << 30


def write_sparse_zeros(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def fill(path, rng, pieces):
    """Writes pieces (bytes) sector-aligned with random filler gaps of 1-64 sectors until 1 GiB."""
    with open(path, "wb") as f:
        n = 0
        while n < GIB:
            for data, gap in pieces():
                if gap:
                    f.write(rng.randbytes(gap * 512))
                    n += gap * 512
                f.write(data)
                pad = (-len(data)) % 512
                f.write(bytes(pad))
                n += len(data) + pad
                if n >= GIB:
                    break
        f.truncate(GIB)


def main(out, fixtures):
    os.makedirs(out, exist_ok=True)
    rng = random.Random(41)
    done = lambda name: os.path.exists(f"{out}/{name}") and os.path.exists(f"{out}/{name}.done")
    if not done("zeros.img"):
        write_sparse_zeros(f"{out}/zeros.img", GIB)
        open(f"{out}/zeros.img.done", "w").close()
    if not done("random.img"):
        with open(f"{out}/random.img", "wb") as f:
            for _ in range(GIB >> 24):
                f.write(rng.randbytes(1 << 24))
        open(f"{out}/random.img.done", "w").close()
    if not done("camera.img"):
        clips = []
        for i, (ext, codec) in enumerate((("mp4", "libx264"), ("mov", "mjpeg"), ("mp4", "libx264"), ("mov", "mjpeg"))):
            p = f"{out}/clip{i}.{ext}"
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc=size=640x480:rate=25:duration={6 + i}",
                            "-c:v", codec, "-pix_fmt", "yuv420p" if codec == "libx264" else "yuvj420p", p], check=True)
            clips.append(open(p, "rb").read())
        jpgs = [open(f"{fixtures}/photo_samples/{n}", "rb").read()
                for n in sorted(os.listdir(f"{fixtures}/photo_samples")) if n.endswith(".jpg")]

        def card():
            for i, j in enumerate(jpgs * 20):
                yield j, 0
                if i % 150 == 75:
                    yield clips[i // 150 % len(clips)], 0
        fill(f"{out}/camera.img", rng, card)
        open(f"{out}/camera.img.done", "w").close()
    if not done("documents.img"):
        docs = []
        for d in ("picture_samples", "pdf_samples", "eps_samples", "zip_samples"):
            docs += [open(f"{fixtures}/{d}/{n}", "rb").read() for n in sorted(os.listdir(f"{fixtures}/{d}"))
                     if not n.startswith(".")]
        fill(f"{out}/documents.img", rng, lambda: ((d, rng.randint(1, 64)) for d in docs))
        open(f"{out}/documents.img.done", "w").close()
    if not done("large.img"):
        size = 2 * GIB - (1 << 20)
        crc = 0
        zeros = bytes(1 << 24)
        left = size
        while left:
            n = min(left, len(zeros))
            crc = zlib.crc32(zeros[:n], crc)
            left -= n
        name = b"big.bin"
        local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0, crc, size, size, len(name), 0) + name
        central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 0, 0, 0, crc, size, size, len(name),
                              0, 0, 0, 0, 0, 0) + name
        with open(f"{out}/large.img", "wb") as f:
            f.write(local)
            f.seek(len(local) + size)
            at = f.tell()
            f.write(central)
            f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), at, 0))
            f.truncate((f.tell() + 511) // 512 * 512 + 512)
        open(f"{out}/large.img.done", "w").close()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
