#!/bin/sh
# Entry of the README's two commands: makes sure GNU make is present (a fresh
# Debian machine may lack it), then runs the Makefile target given.
set -e
cd "$(dirname "$0")"
if ! command -v make >/dev/null 2>&1; then
    if [ "$(id -u)" != 0 ]; then
        echo "make.sh: GNU make is missing; as root run: apt-get update && apt-get install -y make" >&2
        exit 1
    fi
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends make
fi
exec make "$@"
