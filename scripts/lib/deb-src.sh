# Enables Debian source packages ("deb-src") from whichever form a machine's apt sources take: deb822
# stanzas in sources.list.d/*.sources, one-line entries in sources.list and sources.list.d/*.list, or both.
# Sourced by scripts/test-windows and by its test; nothing here touches the network.

vantra_deb_src_name=vantra-deb-src

# Prints the deb822 stanzas of the given .sources files that carry binary packages only, as deb-src
# stanzas. Stanzas already listing deb-src, and disabled ones, are left out.
vantra_deb822_to_src() {
    [ "$#" -gt 0 ] || return 0
    awk 'BEGIN { RS = ""; FS = "\n" }
    {
        types = ""; enabled = "yes"; out = ""
        for (i = 1; i <= NF; i++) {
            line = $i
            if (line ~ /^#/) continue
            if (tolower(line) ~ /^types:/) { types = substr(line, 7); line = "Types: deb-src" }
            if (tolower(line) ~ /^enabled:/) { enabled = tolower(substr(line, 9)); gsub(/[ \t]/, "", enabled) }
            out = out line "\n"
        }
        n = split(types, t, /[ \t]+/); bin = 0; src = 0
        for (i = 1; i <= n; i++) { if (t[i] == "deb") bin = 1; if (t[i] == "deb-src") src = 1 }
        if (bin && !src && enabled != "no") printf "%s\n", out
    }' "$@"
}

# Prints the one-line "deb" entries of the given files as "deb-src" entries, skipping CD-ROM sources
# and any entry whose deb-src twin is already there.
vantra_one_line_to_src() {
    [ "$#" -gt 0 ] || return 0
    awk '
    { sub(/^[ \t]+/, "") }
    /^deb-src[ \t]/ { have[substr($0, 8)] = 1; next }
    /^deb[ \t]/ && $0 !~ /cdrom:/ { want[++n] = substr($0, 4) }
    END { for (i = 1; i <= n; i++) if (!(want[i] in have)) print "deb-src" want[i] }' "$@"
}

# True when some source of the machine already lists deb-src.
vantra_has_deb_src() {
    local etc="$1" f
    for f in "$etc"/sources.list.d/*.sources; do
        [ -f "$f" ] && grep -qiE '^types:.*[[:space:]]deb-src([[:space:]]|$)' "$f" && return 0
    done
    for f in "$etc/sources.list" "$etc"/sources.list.d/*.list; do
        [ -f "$f" ] && grep -qE '^[[:space:]]*deb-src[[:space:]]' "$f" && return 0
    done
    return 1
}

# Writes sources.list.d/vantra-deb-src.{sources,list} under the apt configuration directory ETC (default
# /etc/apt) from the machine's other sources. Each file is written beside its place and moved into it
# whole, so a failed run never leaves an empty or partial file; a run after a failed one starts afresh.
# Returns 1, with one line saying why, when no binary source was found to derive a source entry from.
vantra_write_deb_src() {
    local etc="${1:-/etc/apt}" dir kind out tmp written=0
    dir="$etc/sources.list.d"
    mkdir -p "$dir" || { echo "deb-src: cannot create $dir" >&2; return 1; }
    for kind in sources list; do
        out="$dir/$vantra_deb_src_name.$kind"
        tmp="$(mktemp "$dir/.$vantra_deb_src_name.XXXXXX")" || { echo "deb-src: cannot write in $dir" >&2; return 1; }
        local inputs=()
        if [ "$kind" = sources ]; then
            for f in "$dir"/*.sources; do [ -f "$f" ] && [ "$f" != "$out" ] && inputs+=("$f"); done
            vantra_deb822_to_src "${inputs[@]}" >"$tmp"
        else
            [ -f "$etc/sources.list" ] && inputs+=("$etc/sources.list")
            for f in "$dir"/*.list; do [ -f "$f" ] && [ "$f" != "$out" ] && inputs+=("$f"); done
            vantra_one_line_to_src "${inputs[@]}" >"$tmp"
        fi
        if [ -s "$tmp" ]; then
            chmod 644 "$tmp" && mv -f "$tmp" "$out" || { rm -f "$tmp"; echo "deb-src: cannot move $out into place" >&2; return 1; }
            written=1
        else
            rm -f "$tmp" "$out"
        fi
    done
    if [ "$written" = 0 ] && ! vantra_has_deb_src "$etc"; then
        echo "deb-src: no 'deb' source in $etc/sources.list or $dir/*.sources|*.list to derive 'deb-src' from" >&2
        return 1
    fi
}
