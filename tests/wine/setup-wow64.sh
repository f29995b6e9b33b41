#!/bin/bash
# Lets this machine run 32-bit Windows programs under Wine: the kernel runs no
# 32-bit code itself, so i386 ELF programs (Wine's 32-bit loader) go through
# qemu-user, registered with binfmt_misc. Needs root. Each step runs only when
# its result is missing; a step that fails is named in one line and the script
# exits 1.
#   tests/wine/setup-wow64.sh [Debian package ...]
# The packages (qemu-user-static, wine32:i386 by default) come from the
# Makefile's list.
set -u -o pipefail

PKGS=("$@")
[ ${#PKGS[@]} -eq 0 ] && PKGS=(qemu-user-static wine32:i386)
QEMU=/usr/bin/qemu-i386-static
BINFMT=/proc/sys/fs/binfmt_misc
# An i386 ELF executable or shared object (e_ident class 32-bit, little-endian;
# e_machine 3), as qemu's own binfmt table gives it.
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# What the kernel shows for MAGIC in a registered entry.
MAGIC_SHOWN=7f454c4601010100000000000000000002000300
ERR=$(mktemp)
trap 'rm -f "$ERR"' EXIT

fail() {
    local why
    why=$(tr '\n' ' ' <"$ERR" | cut -c1-300)
    echo "wow64 set-up: step failed: $1${why:+: $why}" >&2
    exit 1
}
step() {
    echo "wow64 set-up: $1"
}

if [ "$(id -u)" != 0 ]; then
    fail "the set-up needs root (binfmt_misc, dpkg); run as root or set TW_SKIP_SHIPPED=1"
fi

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
apt_updated=0
install_pkgs() {
    local missing=()
    for p in "$@"; do
        installed "$p" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ $apt_updated -eq 0 ]; then
        step "apt-get update"
        apt-get update -qq >"$ERR" 2>&1 || fail "apt-get update"
        apt_updated=1
    fi
    step "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
        >"$ERR" 2>&1 || fail "apt-get install ${missing[*]}"
}

# 1. binfmt_misc, where the kernel learns which interpreter runs what.
if [ ! -e "$BINFMT/register" ]; then
    step "mounting binfmt_misc on $BINFMT"
    mount -t binfmt_misc binfmt_misc "$BINFMT" >"$ERR" 2>&1 || fail "mount -t binfmt_misc binfmt_misc $BINFMT"
fi

# 2. qemu-user, and Wine's 32-bit half; i386 packages need the architecture first.
qemu_pkgs=() wine_pkgs=()
for p in "${PKGS[@]}"; do
    case "$p" in
    *:i386) wine_pkgs+=("$p") ;;
    *) qemu_pkgs+=("$p") ;;
    esac
done
install_pkgs "${qemu_pkgs[@]}"
[ -x "$QEMU" ] || { echo "$QEMU is missing" >"$ERR"; fail "finding $QEMU"; }

# 3. qemu-i386-static for i386 ELF. F opens the interpreter now, so it serves
# every later program whatever its mount namespace.
registered=""
for entry in "$BINFMT"/*; do
    [ -f "$entry" ] || continue
    case "$(basename "$entry")" in register | status) continue ;; esac
    if grep -qx 'enabled' "$entry" && grep -qx "interpreter $QEMU" "$entry" &&
        grep -q '^flags:.*F' "$entry" && grep -qx "magic $MAGIC_SHOWN" "$entry"; then
        registered=$(basename "$entry")
    fi
done
if [ -z "$registered" ]; then
    # An entry of that name that is not what is needed (disabled, another
    # interpreter, no F) is replaced.
    if [ -e "$BINFMT/qemu-i386" ]; then
        step "removing the unsuitable binfmt entry qemu-i386"
        echo -1 >"$BINFMT/qemu-i386" 2>"$ERR" || fail "removing binfmt entry qemu-i386"
    fi
    step "registering $QEMU for i386 ELF (binfmt_misc, flag F)"
    printf '%s' ":qemu-i386:M::$MAGIC:$MASK:$QEMU:F" >"$BINFMT/register" 2>"$ERR" ||
        fail "registering $QEMU in $BINFMT/register"
fi

if [ ${#wine_pkgs[@]} -gt 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        step "dpkg --add-architecture i386"
        dpkg --add-architecture i386 >"$ERR" 2>&1 || fail "dpkg --add-architecture i386"
        apt_updated=0
    fi
    install_pkgs "${wine_pkgs[@]}"
fi

# 4. The proof: Wine's 32-bit loader, an i386 ELF program, runs.
if ! /usr/lib/wine/wine --version >"$ERR" 2>&1; then
    fail "running the 32-bit loader /usr/lib/wine/wine through $QEMU"
fi
echo "wow64 set-up: ready ($(cat "$ERR"), 32-bit code through $(basename "$QEMU"))"
