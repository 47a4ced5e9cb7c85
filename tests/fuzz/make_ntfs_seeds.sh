#!/usr/bin/env bash
# Makes the seed corpus of fuzz_ntfs_volume: small volumes by mkntfs, filled
# by ntfscp, with $LogFile and $UpCase cleared (the reader needs neither) and
# written as the target's input: each sector that is not all zeros as a
# 2-byte sector number (little-endian) followed by its 512 bytes.
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/corpus/fuzz_ntfs_volume
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

seed() { # name cluster-size files...
  local name=$1 cluster=$2
  shift 2
  truncate -s 2M v.img
  mkntfs -F -Q -c "$cluster" -L Seed v.img >/dev/null 2>&1
  for f in "$@"; do ntfscp -q v.img "$f" "$f"; done
  for inode in 2 10; do
    for c in $(istat v.img "$inode" | sed -n '/^Type: \$DATA/,$p' | grep -E '^[0-9 ]+$'); do
      dd if=/dev/zero of=v.img bs="$cluster" seek="$c" count=1 conv=notrunc status=none
    done
  done
  python3 - v.img "$out/$name" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
with open(sys.argv[2], 'wb') as f:
    for i in range(len(data) // 512):
        s = data[i * 512:(i + 1) * 512]
        if any(s):
            f.write(struct.pack('<H', i) + s)
PY
  rm -f v.img
}

echo hello > a.txt
head -c 5000 /dev/zero | tr '\0' 'x' > "Long name b.bin"
for i in $(seq 1 12); do echo "$i" > "file number $i.txt"; done
seed small-1k 1024 a.txt "Long name b.bin"
seed many-512 512 file*
