#!/usr/bin/env bash
# The framework's libraries include only those below them, by library ("ZephBase/Log.h"), and nothing of the
# plugin: kestro <- platform <- ZephBase; platform <- ZephNet; ZephProto alone.
set -euo pipefail
root="${1:?usage: layers_test.sh SOURCE_DIR}"
declare -A below=([kestro]="" [platform]="kestro" [ZephBase]="platform kestro" [ZephNet]="platform kestro" [ZephProto]="")
status=0
for library in "${!below[@]}"; do
    allowed=" $library ${below[$library]} "
    while IFS= read -r line; do
        file="${line%%:*}"
        header="$(sed -E 's/.*#include "([^"]*)".*/\1/' <<<"$line")"
        if [[ "$header" != */* || "$allowed" != *" ${header%%/*} "* ]]; then
            echo "layers: $file includes \"$header\", which $library may not" >&2
            status=1
        fi
    done < <(grep -H '#include "' "$root/framework/$library"/*.{h,cpp} 2>/dev/null || true)
done
[ "$status" -eq 0 ] && echo "layers: every framework library includes only what lies below it"
exit "$status"
