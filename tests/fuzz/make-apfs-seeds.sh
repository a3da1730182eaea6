#!/usr/bin/env bash
# Makes the seeds of the APFS fuzz targets from the sample apfs.raw and the
# stale-leaf fixture: single blocks (file-system roots of two checkpoints,
# object-map roots, the container superblock, the two stale leaves) for
# apfs_node_fuzz, and the sample's first 110 blocks (every structure it has)
# for apfs_deepscan_fuzz. The seeds are committed; run this again only to
# remake them: bash tests/fuzz/make-apfs-seeds.sh
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
sample="$root/tests/data/dfvfs/apfs.raw"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
OUT="$work" WORK="$work" FIXTURE_LIB="$root/tests/fixtures/lib.sh" SALVOR_TEST_DATA="$root/tests/data" \
    bash -euo pipefail "$root/tests/fixtures/apfs_stale.sh"
node="$here/corpus/apfs_node_fuzz"
deep="$here/corpus/apfs_deepscan_fuzz"
mkdir -p "$node" "$deep"
block() { dd if="$1" of="$node/$2" bs=4096 skip="$3" count=1 status=none; }
block "$sample" fs_root_newest 101
block "$sample" fs_root_older 89
block "$sample" omap_root_volume 103
block "$sample" omap_root_container 109
block "$sample" container_superblock 0
for b in $(seq 500 1013); do
    [ "$(dd if="$work/stale.raw" bs=4096 skip="$b" count=1 status=none | tr -d '\0' | wc -c)" -gt 0 ] &&
        dd if="$work/stale.raw" of="$node/stale_leaf_$b" bs=4096 skip="$b" count=1 status=none
done
# Odd sizes also feed the block to the object-map walk.
dd if="$sample" of="$node/omap_root_volume_odd" bs=1 skip=$((103 * 4096)) count=4095 status=none
head -c $((110 * 4096)) "$sample" > "$deep/apfs_sample_head"
