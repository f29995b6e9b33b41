#!/bin/bash
# Builds twlibxml2.dll, the libxml2 that the Windows program loads at run time,
# from Debian's own source package of the libxml2 installed here (the one the
# Linux build links), with the project's mingw-w64 toolchain. The source list
# is private to the work folder: the machine's apt configuration is untouched,
# and apt checks the source against Debian's archive keyring.
#   cmake/libxml2-windows/build.sh <i686|x86_64> <output .dll> <work folder>
set -euo pipefail
if [ $# -ne 3 ] || { [ "$1" != i686 ] && [ "$1" != x86_64 ]; }; then
    echo "usage: $0 <i686|x86_64> <output .dll> <work folder>" >&2
    exit 2
fi
ARCH=$1
OUT=$2
WORK=$(mkdir -p "$3" && cd "$3" && pwd)
SRC=$(cd "$(dirname "$0")/../.." && pwd)
# The native package: with i386 added for the 32-bit Wine there are two.
VERSION=$(dpkg-query -W -f='${source:Version}' "libxml2:$(dpkg --print-architecture)")
UPSTREAM=${VERSION%-*}
UPSTREAM=${UPSTREAM#*:}

TREE="$WORK/libxml2-$UPSTREAM"
if [ ! -f "$TREE/CMakeLists.txt" ]; then
    mkdir -p "$WORK/apt/parts" "$WORK/apt/lists/partial" "$WORK/apt/cache/archives/partial"
    cat >"$WORK/apt/parts/debian-src.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$WORK/apt/parts"
              -o "Dir::State::Lists=$WORK/apt/lists" -o "Dir::Cache=$WORK/apt/cache"
              -o "APT::Sandbox::User=root")
    apt-get -qq "${apt_opts[@]}" update
    (cd "$WORK" && apt-get -qq "${apt_opts[@]}" source "libxml2=$VERSION" >/dev/null)
fi

# Only what the table loader needs: no network, compression, iconv or Python;
# linked statically so that the DLL needs nothing beside the system's.
BUILD="$WORK/build-$ARCH"
cmake -S "$TREE" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/mingw-$ARCH.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DCMAKE_SHARED_LINKER_FLAGS="-static -static-libgcc" \
    -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_LZMA=OFF -DLIBXML2_WITH_ZLIB=OFF \
    -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_TESTS=OFF \
    -DLIBXML2_WITH_PROGRAMS=OFF -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF \
    -DLIBXML2_WITH_LEGACY=OFF >"$WORK/configure-$ARCH.log" 2>&1
cmake --build "$BUILD" -j "${JOBS:-2}" >"$WORK/build-$ARCH.log" 2>&1
mkdir -p "$(dirname "$OUT")"
cp "$BUILD/libxml2.dll" "$OUT"
# libxml2's licence travels with the DLL.
cp "$TREE/Copyright" "$(dirname "$OUT")/twlibxml2-Copyright.txt"
echo "twlibxml2.dll ($ARCH) from Debian's libxml2 $VERSION: $OUT"
