#!/bin/bash
# Unpacks the Debian package into a scratch root (dpkg -x, no system change)
# and runs the demo with the programs as installed: the demo machine's .reg
# from the package's documentation, the checker's exit code and its log.
#   cmake/package/check-deb.sh <package.deb> <scratch folder>
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 <package.deb> <scratch folder>" >&2
    exit 2
fi
DEB=$1
WORK=$2
rm -rf "$WORK"
mkdir -p "$WORK/root" "$WORK/drives" "$WORK/services"
WORK=$(cd "$WORK" && pwd)
ROOT=$WORK/root
dpkg -x "$DEB" "$ROOT"

DOC=$ROOT/usr/share/doc/twprereqhandler
for f in usr/bin/twprereqhandler usr/bin/twreg usr/bin/twfetch usr/bin/twreplay \
         usr/share/doc/twprereqhandler/README.md \
         usr/share/doc/twprereqhandler/examples/demo-workstation.reg; do
    [ -f "$ROOT/$f" ] || { echo "check-deb: $f is not in the package" >&2; exit 1; }
done
[ -d "$ROOT/var/lib/tidewell" ] || { echo "check-deb: /var/lib/tidewell is not in the package" >&2; exit 1; }
echo "package: $(dpkg-deb -f "$DEB" Package) $(dpkg-deb -f "$DEB" Version), depends on: $(dpkg-deb -f "$DEB" Depends)"
# The libraries bound on first use are no link dependency: the package must name them.
for lib in libcurl libssl libxml2; do
    dpkg-deb -f "$DEB" Depends | grep -q "\b$lib" ||
        { echo "check-deb: the package does not depend on $lib, which the programs load" >&2; exit 1; }
done

export TW_REGISTRY=$WORK/registry.db TW_DRIVE_ROOT=$WORK/drives TW_SERVICE_DIR=$WORK/services
BIN=$ROOT/usr/bin
KEY='HKLM\SOFTWARE\WOW6432Node\Brightmoor\Tidewell\TWAgent'
"$BIN/twreg" import "$DOC/examples/demo-workstation.reg"
install_dir=$("$BIN/twreg" query "$KEY" /v TWAgentInstallDir | awk -F'    ' '/TWAgentInstallDir/ {print $4}')
"$BIN/twreg" mkpath "$install_dir" >/dev/null
set +e
"$BIN/twprereqhandler" -m 1 -r 1 -q 1 -p KB5034441 -l "Demo Product" -v 1.0 >"$WORK/stdout.txt"
rc=$?
set -e
log=$(find "$WORK/drives" -name twprereqhandler.log)
if [ "$rc" != 0 ] || [ -z "$log" ] || ! grep -q 'Log close time' "$log"; then
    echo "check-deb: the installed twprereqhandler answered $rc on the demo machine" >&2
    [ -n "$log" ] && tail -20 "$log" >&2
    exit 1
fi
"$BIN/twfetch" --help >/dev/null
echo "check-deb: the demo ran with the installed programs (exit code 0, log $(wc -l <"$log") lines)"
# twreplay finds the installed checker beside itself; the fleet's malformed
# machine makes its status 1, every other machine must have replayed.
set +e
"$BIN/twreplay" --csv "$DOC/examples/fleet" >"$WORK/fleet.csv"
rc=$?
set -e
replayed=$(grep -c ',replayed,' "$WORK/fleet.csv" || true)
if [ "$rc" -gt 1 ] || [ "$replayed" -eq 0 ]; then
    echo "check-deb: the installed twreplay replayed no machine (status $rc)" >&2
    exit 1
fi
echo "check-deb: the installed twreplay replayed $replayed machines of the example fleet (status $rc)"
