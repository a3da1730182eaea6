#!/usr/bin/env bash
# Makes the seeds of the exFAT and whole-scan fuzz targets: tiny FAT12/16/32
# and exFAT volumes (a few hundred KiB, made with the real tools), an exFAT
# disk for the deep scan (MBR, intact and with its boot regions zeroed), and
# structures cut from the committed exFAT fixtures. The seeds are committed;
# run this again only to remake them (root, a free loop device and FUSE for
# exFAT): bash tests/fuzz/make-seeds.sh ("ntfs": only the NTFS seeds)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
source "$root/tests/fixtures/lib.sh"
need mkfs.fat dosfstools
need mcopy mtools
need mkfs.exfat exfatprogs
need mount.exfat-fuse exfat-fuse
need sfdisk fdisk
need xz xz-utils
need python3 python3
loop_fuse_setup make-seeds.sh

corpus="$here/corpus"
only="${1:-}"

if [ "$only" != ntfs ]; then
# ---- FAT volumes for fat_quickscan_fuzz ----------------------------------------
# fat_seed NAME FATBITS SECTOR KIB [TRUNCATE_KIB]: live and deleted files, long
# names, a two-cluster folder, a fragmented file, a deleted folder tree.
fat_seed() {
    local name="$1" bits="$2" ss="$3" kib="$4" cut="${5:-}"
    local img="$WORK/$name.img" m=(-i "$WORK/$name.img")
    mkfs.fat -C -F "$bits" -S "$ss" -s 1 -n FUZZ "$img" "$kib" >/dev/null 2>&1
    mmd "${m[@]}" ::/Docs ::/Docs/Sub ::/Trash ::/Trash/Inner ::/Many
    put() { randfile "$WORK/f" "$2" "$name$1"; mcopy "${m[@]}" "$WORK/f" "::$1"; }
    put /README.TXT 300
    put "/Docs/A long file name with accents é and more.txt" 700
    put /Docs/Sub/nested.bin 1500
    local i
    for i in 1 2 3 4 5 6 7 8 9 10 11 12; do put "/Many/Entry number $i of a folder.dat" 60; done
    put /Trash/t1.bin 400
    put /Trash/Inner/t2.bin 600
    put /gap.bin 1024
    put /spacer.bin 512
    mdel "${m[@]}" ::/gap.bin
    put /frag.bin 2000
    put /gone.bin 900
    mdel "${m[@]}" ::/gone.bin
    mdeltree "${m[@]}" ::/Trash
    [ -z "$cut" ] || truncate -s "${cut}K" "$img"
    mkdir -p "$corpus/fat_quickscan_fuzz"
    cp "$img" "$corpus/fat_quickscan_fuzz/$name.img"
}
fat_seed fat12 12 512 256
# FAT16 needs 4085 clusters: made at 2 MiB and cut after its files, as a
# damaged image would be.
fat_seed fat16 16 512 2100 320
# FAT32 likewise (mtools reads a FAT32 of fewer clusters as FAT12): its two
# FATs take 540 KiB; cut after the first files.
fat_seed fat32 32 512 34000 600
fat_seed fat16_4k 16 4096 17000 512

# ---- exFAT volumes ---------------------------------------------------------------
# exfat_seed NAME SECTOR KIB CLUSTER: folders, a long and a non-ASCII name, a
# fragmented (FAT-chained) file, a deleted file and a deleted folder tree.
exfat_seed() {
    local name="$1" ss="$2" kib="$3" cluster="$4" img="$WORK/$1.img"
    truncate -s "${kib}K" "$img"
    LOOP="$(losetup -f --show -b "$ss" "$img")"
    mkfs.exfat -c "$cluster" -b 4K -L FUZZ "$LOOP" >/dev/null
    mount.exfat-fuse "$LOOP" "$MNT" >/dev/null 2>&1
    mkdir -p "$MNT/Docs/Sub" "$MNT/Gone/Deep" "$MNT/Many"
    randfile "$MNT/readme.txt" 700 "$name-readme"
    randfile "$MNT/A file with a rather long name that needs several entries.bin" 3000 "$name-long"
    randfile "$MNT/Docs/Ünïcödé résumé.txt" 900 "$name-uni"
    randfile "$MNT/Docs/Sub/deep.bin" 1200 "$name-deep"
    local i
    for i in 1 2 3 4 5 6 7 8 9 10; do randfile "$MNT/Many/many-file-number-$i-with-a-long-tail.dat" 40 "$name-m$i"; done
    randfile "$MNT/gap.bin" "$cluster" "$name-gap"
    randfile "$MNT/spacer.bin" "$cluster" "$name-spacer"
    sync; rm "$MNT/gap.bin"; sync
    randfile "$MNT/chained.bin" $((3 * cluster)) "$name-chained"
    randfile "$MNT/Gone/a.bin" 800 "$name-a"
    randfile "$MNT/Gone/Deep/c.bin" 500 "$name-c"
    randfile "$MNT/gone.bin" 1500 "$name-gone"
    sync; rm -r "$MNT/Gone" "$MNT/gone.bin"; sync
    fusermount -u "$MNT"
    losetup -d "$LOOP"; LOOP=""
}
exfat_seed exfat_512 512 384 512
exfat_seed exfat_4096 4096 512 4096
mkdir -p "$corpus/exfat_quickscan_fuzz" "$corpus/exfat_deepscan_fuzz"
cp "$WORK/exfat_512.img" "$WORK/exfat_4096.img" "$corpus/exfat_quickscan_fuzz/"

# Deep scan: the 512-byte volume on an MBR disk at sector 64, as made, with
# its MBR and boot regions zeroed, and the 4096-byte volume on its own.
disk="$WORK/disk.img"
truncate -s $((64 * 512 + 384 * 1024)) "$disk"
printf 'label: dos\nstart=64, type=7\n' | sfdisk -q "$disk"
dd if="$WORK/exfat_512.img" of="$disk" bs=512 seek=64 conv=notrunc status=none
cp "$disk" "$corpus/exfat_deepscan_fuzz/mbr_exfat_512.img"
# Both boot regions (12 sectors each) and the MBR gone: found from folders only.
dd if=/dev/zero of="$disk" bs=512 count=1 conv=notrunc status=none
dd if=/dev/zero of="$disk" bs=512 seek=64 count=24 conv=notrunc status=none
cp "$disk" "$corpus/exfat_deepscan_fuzz/mbr_exfat_512_noboot.img"
cp "$WORK/exfat_4096.img" "$corpus/exfat_deepscan_fuzz/exfat_4096.img"

# ---- exFAT structures ----------------------------------------------------------------
xz -dc "$root/tests/fixtures/exfat_quick/exfat_512.img.xz" > "$WORK/q512.img"
xz -dc "$root/tests/fixtures/exfat_quick/exfat_4096.img.xz" > "$WORK/q4096.img"
xz -dc "$root/tests/fixtures/mbr_fat_exfat/exfat_part.img.xz" > "$WORK/part.img"
python3 - "$corpus" "$WORK" <<'EOF'
import os, struct, sys
corpus, work = sys.argv[1], sys.argv[2]

def put(target, name, data):
    os.makedirs(os.path.join(corpus, target), exist_ok=True)
    with open(os.path.join(corpus, target, name), "wb") as f:
        f.write(data)

class Volume:
    def __init__(self, path, offset=0):
        self.f = open(path, "rb")
        self.base = offset
        b = self.read(0, 512)
        self.ss = 1 << b[108]
        self.spc = 1 << b[109]
        self.heap = struct.unpack_from("<I", b, 88)[0]
        self.root = struct.unpack_from("<I", b, 96)[0]
        self.boot = self.read(0, self.ss)
    def read(self, off, n):
        self.f.seek(self.base + off)
        return self.f.read(n)
    def cluster(self, c, count=1):
        cb = self.ss * self.spc
        return self.read((self.heap * self.ss) + (c - 2) * cb, cb * count)
    def entries(self, c):
        """(name, first cluster, length, is folder) of the in-use sets of a folder cluster."""
        data, out, i = self.cluster(c), [], 0
        while i + 32 <= len(data):
            e = data[i:i + 32]
            if e[0] in (0x85, 0x05):
                n = e[1]
                s = data[i + 32:i + 64]
                first, length = struct.unpack_from("<IQ", s, 20)
                name = b"".join(data[i + 64 + 32 * k + 2:i + 64 + 32 * k + 32] for k in range(n - 1))
                name = name.decode("utf-16-le", "replace").split("\0")[0][:s[3]]
                out.append((name, first, length, bool(e[4] & 0x10)))
                i += 32 * (n + 1)
            else:
                i += 32
        return out

# exfat_boot_fuzz: the boot sectors of both sector sizes and of the partition.
q512, q4096 = Volume(os.path.join(work, "q512.img")), Volume(os.path.join(work, "q4096.img"))
put("exfat_boot_fuzz", "boot_512.bin", q512.boot)
put("exfat_boot_fuzz", "boot_4096.bin", q4096.boot)
part = Volume(os.path.join(work, "part.img"))
put("exfat_boot_fuzz", "boot_part.bin", part.boot[:512])

def geometry(v):
    return bytes([(v.ss.bit_length() - 10) | ((v.spc.bit_length() - 1) << 2)])

# exfat_entries_fuzz: geometry byte, length byte, then folder clusters.
for v, tag in ((q512, "512"), (q4096, "4096")):
    head = geometry(v) + b"\xff"
    put("exfat_entries_fuzz", f"root_{tag}.bin", head + v.cluster(v.root))
    by = {name: (first, length) for name, first, length, folder in v.entries(v.root) if folder}
    first, length = by["Many"]
    put("exfat_entries_fuzz", f"many_{tag}.bin", head + v.cluster(first, 2))
    first, length = by["Docs"]
    put("exfat_entries_fuzz", f"docs_{tag}.bin", head + v.cluster(first))

# exfat_fileset_fuzz: geometry byte (sector shift only), then a few sectors.
def sectors(v, c, n):
    return v.cluster(c, (n * v.ss + v.ss * v.spc - 1) // (v.ss * v.spc))[: n * v.ss]
for v, tag in ((q512, "512"), (q4096, "4096")):
    g = bytes([v.ss.bit_length() - 10])
    put("exfat_fileset_fuzz", f"root_{tag}.bin", g + sectors(v, v.root, 3))
    by = {name: (first, length) for name, first, length, folder in v.entries(v.root) if folder}
    put("exfat_fileset_fuzz", f"many_{tag}.bin", g + sectors(v, by["Many"][0], 4 if v.ss == 512 else 2))
    put("exfat_fileset_fuzz", f"gone_{tag}.bin", g + sectors(v, by["Gone"][0], 2))
EOF
# ---- FAT deep scan: the quick-scan volumes, and two without boot sectors ------
mkdir -p "$corpus/fat_deepscan_fuzz"
cp "$corpus"/fat_quickscan_fuzz/*.img "$corpus/fat_deepscan_fuzz/"
cp "$corpus/fat_quickscan_fuzz/fat32.img" "$corpus/fat_deepscan_fuzz/fat32_noboot.img"
dd if=/dev/zero of="$corpus/fat_deepscan_fuzz/fat32_noboot.img" bs=512 count=12 conv=notrunc 2>/dev/null
cp "$corpus/fat_quickscan_fuzz/fat16.img" "$corpus/fat_deepscan_fuzz/fat16_noboot.img"
dd if=/dev/zero of="$corpus/fat_deepscan_fuzz/fat16_noboot.img" bs=512 count=1 conv=notrunc 2>/dev/null

ls -la "$corpus"/*/ | head -60

# ---- crafted folder-like data: one FAT folder sector and one exFAT folder
# cluster repeated over 256 KiB (the deep-scan cost benchmark's images) ----------
"$here/../../bench/hostile/make-crafted.sh" "$WORK/crafted" 256
cp "$WORK/crafted/fatdir_256k.img" "$corpus/fat_deepscan_fuzz/crafted_fatdir.img"
cp "$WORK/crafted/exfatdir_256k.img" "$corpus/exfat_deepscan_fuzz/crafted_exfatdir.img"
# A FAT12 volume whose data area is all folder first sectors naming clusters
# of their own (lost folders of one partition, every sector one).
cp "$WORK/crafted/fat12distinct.img" "$corpus/fat_deepscan_fuzz/crafted_fat12distinct.img"

# ---- HFS+ deep scan: disks cut from the hfs_deep fixture (no root needed) ------
# The GPT disk to the end of its volume's journal (the catalog, attributes and
# journal follow the files' data: 396 blocks of 4096 bytes); the xorriso image
# without its map, to 1 MiB; the lone volume to the same end, a size the target
# reads with 4096-byte sectors.
mkdir -p "$corpus/hfsplus_deepscan_fuzz"
"$root/tests/fixtures/make-fixture" hfs_deep "$WORK/fixtures"
deep="$WORK/fixtures/hfs_deep"
head -c $((40 * 512 + 396 * 4096)) "$deep/gpt40.img" > "$corpus/hfsplus_deepscan_fuzz/gpt40_cut.img"
head -c $((1024 * 1024 - 512)) "$deep/apm_zeroed.img" > "$corpus/hfsplus_deepscan_fuzz/xorriso_apm_zeroed_cut.img"
head -c $((396 * 4096)) "$deep/alone.img" > "$corpus/hfsplus_deepscan_fuzz/alone_4096_cut.img"
fi

# ---- NTFS volumes for ntfs_quickscan_fuzz (bash make-seeds.sh ntfs: only these) --
# A 2 MiB volume of 512-byte clusters made by mkntfs and filled through
# ntfs-3g (a folder, resident and non-resident files, a deleted one), its
# log-rebuild variant, and one whose $MFT names extension records claiming
# the volume (the NTFS fixture editors).
ntfs_seeds() {
    local img="$WORK/ntfs_2m.img" out="$corpus/ntfs_quickscan_fuzz" edit="$root/tests/fixtures/ntfs_volumes"
    need mkntfs ntfs-3g
    need fls sleuthkit
    truncate -s 2M "$img"
    mkntfs -F -Q -q -c 512 -p 0 -H 0 -S 0 -L FUZZ "$img" >/dev/null 2>&1
    ntfs-3g "$img" "$MNT"
    mkdir "$MNT/Docs"
    echo "small resident text" > "$MNT/Docs/a.txt"
    randfile "$MNT/b.bin" 6000 ntfs-b
    randfile "$MNT/gone.bin" 5000 ntfs-gone
    sync; rm "$MNT/gone.bin"; sync
    fusermount -u "$MNT"
    mkdir -p "$out"
    cp "$img" "$out/ntfs_2m.img"
    cp "$img" "$out/ntfs_2m_log.img"
    python3 "$edit/log_rebuild.py" "$out/ntfs_2m_log.img" "$(fls "$img" | sed -n 's/^-\/r \* \([0-9]*\)-.*\tgone.bin$/\1/p')"
    cp "$img" "$out/ntfs_2m_ext.img"
    python3 "$edit/mft_extensions.py" "$out/ntfs_2m_ext.img" 4
}
ntfs_seeds
