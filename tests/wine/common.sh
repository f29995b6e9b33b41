# Shared by the Wine runs (run.sh, shipped.sh); sourced, not run.

# Debian's wine wrapper picks the loader by the program's bitness; the test
# programs are 64-bit, so the 64-bit loader is called directly.
WINE=${TW_WINE:-/usr/lib/wine/wine64}
WINESERVER=${TW_WINESERVER:-/usr/lib/wine/wineserver}
export WINEDEBUG=-all
# No Mono or Gecko installer prompts when a prefix is made.
export WINEDLLOVERRIDES="mscoree=;mshtml="
export DISPLAY=

# Makes the prefix $WINEPREFIX unless it is complete; its log goes to $1.
# A prefix is complete once Windows 10 is set in it (a stamp file says so).
make_prefix() {
    [ -f "$WINEPREFIX/.tw-ready" ] && return 0
    rm -rf "$WINEPREFIX"
    "$WINE" wineboot -i >"$1" 2>&1 || return 1
    # Windows 10, the version of the example machines.
    "$WINE" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >>"$1" 2>&1 || return 1
    "$WINESERVER" -w
    touch "$WINEPREFIX/.tw-ready"
}

# Starts the loopback server host of the Linux build $TW_LINUX_BUILD, if there
# is one, writing into the folder $1; sets HOST_PID and exports TW_SERVER_HOST.
start_server_host() {
    local host="${TW_LINUX_BUILD:-}/tests/tw_server_host"
    [ -n "${TW_LINUX_BUILD:-}" ] && [ -x "$host" ] || return 0
    local port_file="$1/server_host.port"
    rm -f "$port_file"
    "$host" "$port_file" >"$1/server_host.log" 2>&1 &
    HOST_PID=$!
    for _ in $(seq 1 200); do
        [ -s "$port_file" ] && break
        sleep 0.05
    done
    if [ ! -s "$port_file" ]; then
        echo "wine: the loopback server host did not start" >&2
        return 1
    fi
    export TW_SERVER_HOST="127.0.0.1:$(cat "$port_file")"
}

stop_server_host() {
    if [ -n "${HOST_PID:-}" ]; then
        kill "$HOST_PID" 2>/dev/null
        wait "$HOST_PID" 2>/dev/null
        HOST_PID=
    fi
}

# The gtest patterns that known-differences.txt leaves out for the programs
# named in the arguments, one a line as "<pattern> <reason>".
known_differences() {
    local here
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    grep -v '^[[:space:]]*#' "$here/known-differences.txt" | grep -v '^[[:space:]]*$' |
        while read -r name pattern reason; do
            for wanted in "$@"; do
                [ "$name" = "$wanted" ] && echo "$pattern $reason"
            done
        done
}
