#!/bin/bash
# Puts the shipped Windows program into one folder: the 32-bit
# twprereqhandler.exe, the manifest dumped from it and compared with the one
# it was built with (any difference fails the release), and INSTALL.txt.
#   cmake/release/windows-release.sh <mingw-i686 build folder> <release folder>
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 <mingw-i686 build folder> <release folder>" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
OUT=$2
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
EXPECTED="$SRC/src/checker/twprereqhandler.exe.manifest"

rm -rf "$OUT"
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
TOOL="$BUILD/pe_manifest"
g++ -std=c++20 -O2 -Wall -Wextra -o "$TOOL" "$HERE/pe_manifest.cpp"

cp "$BUILD/twprereqhandler.exe" "$OUT/"
CHECK="$OUT/manifest-check.txt"
{
    echo "twprereqhandler.exe, $(stat -c %s "$OUT/twprereqhandler.exe") bytes"
    echo "sha256: $(sha256sum "$OUT/twprereqhandler.exe" | cut -d' ' -f1)"
    "$TOOL" "$OUT/twprereqhandler.exe" "$OUT/twprereqhandler.exe.manifest"
} >"$CHECK"
if ! grep -qx 'machine: i386' "$CHECK"; then
    cat "$CHECK" >&2
    echo "windows-release: twprereqhandler.exe is not a 32-bit (i386) program" >&2
    exit 1
fi
if ! cmp -s "$OUT/twprereqhandler.exe.manifest" "$EXPECTED"; then
    diff "$EXPECTED" "$OUT/twprereqhandler.exe.manifest" >&2 || true
    echo "windows-release: the embedded manifest differs from src/checker/twprereqhandler.exe.manifest" >&2
    exit 1
fi
echo "manifest: identical to src/checker/twprereqhandler.exe.manifest" >>"$CHECK"
cp "$HERE/INSTALL.txt" "$OUT/INSTALL.txt"
cat "$CHECK"
echo "windows-release: $OUT"
