#!/bin/sh
# Refuses an #include that reaches up or across the library stack of
# src/layers.txt: a library may include its own headers and those of the
# libraries below it (directly or through others), nothing else; src/win32
# includes none of them.
#   cmake/check-layers.sh [source root]
set -eu
ROOT=${1:-$(cd "$(dirname "$0")/.." && pwd)}
LAYERS="$ROOT/src/layers.txt"
[ -f "$LAYERS" ] || { echo "check-layers: $LAYERS is missing" >&2; exit 2; }

find "$ROOT/src" -type f \( -name '*.cpp' -o -name '*.h' \) | sort | awk -v layers="$LAYERS" -v root="$ROOT/src/" '
BEGIN {
    while ((getline line < layers) > 0) {
        sub(/#.*/, "", line)
        if (line !~ /:/) continue
        name = line; sub(/:.*/, "", name); gsub(/[ \t]/, "", name)
        rest = line; sub(/^[^:]*:/, "", rest)
        known[name] = 1; uses[name] = rest
    }
    # Transitive closure: what each library may include.
    for (lib in known) {
        allowed[lib, lib] = 1
        todo = uses[lib]
        while (todo != "") {
            n = split(todo, parts, /[ \t]+/); todo = ""
            for (i = 1; i <= n; i++) {
                dep = parts[i]
                if (dep == "" || allowed[lib, dep]) continue
                if (!(dep in known)) { printf "check-layers: %s uses unknown library %s\n", lib, dep; bad = 1; continue }
                allowed[lib, dep] = 1
                todo = todo " " uses[dep]
            }
        }
    }
}
{
    file = $0
    rel = substr(file, length(root) + 1)
    lib = rel; sub(/\/.*/, "", lib)
    if (!(lib in known) && lib != "win32") next
    lineno = 0
    while ((getline text < file) > 0) {
        lineno++
        if (text !~ /^[ \t]*#[ \t]*include[ \t]*"/) continue
        target = text; sub(/^[^"]*"/, "", target); sub(/".*/, "", target)
        if (target !~ /\//) continue
        inc = target; sub(/\/.*/, "", inc)
        if (!(inc in known) && inc != "win32") continue
        if (lib == "win32") {
            if (inc in known) { printf "src/%s:%d: the Linux layer includes %s\n", rel, lineno, target; bad = 1 }
        } else if (inc == "win32") {
            printf "src/%s:%d: %s includes a private header of the Linux layer: %s\n", rel, lineno, lib, target; bad = 1
        } else if (!allowed[lib, inc]) {
            printf "src/%s:%d: %s may not include %s (%s is not below it in src/layers.txt)\n", rel, lineno, lib, target, inc; bad = 1
        }
    }
    close(file)
    files++
}
END {
    if (bad) exit 1
    printf "check-layers: %d files keep to src/layers.txt\n", files
}'
