#!/usr/bin/env bash
# Enabling deb-src against temporary apt directories of each form a Debian 12 machine may have.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/deb-src.sh"

failures=0
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# check NAME STATUS SOURCES LIST: runs the writer on $etc and compares the status and the two files it leaves ("-" for
# none); a failure must say why, and no temporary file may remain.
check() {
    local rc got dir="$etc/sources.list.d"
    vantra_write_deb_src "$etc" 2>"$work/err"
    rc=$?
    got="$rc|$(cat "$dir/vantra-deb-src.sources" 2>/dev/null || echo -)|$(cat "$dir/vantra-deb-src.list" 2>/dev/null ||
        echo -)|$(find "$dir" -name '.vantra-deb-src.*')"
    if [ "$got" = "$2|$3|$4|" ] && { [ "$rc" = 0 ] || grep -q "no 'deb' source" "$work/err"; }; then
        echo "ok: $1"
    else
        failures=$((failures + 1))
        echo "FAIL: $1: got [$got]"
    fi
}

fresh() { etc="$work/$1"; mkdir -p "$etc/sources.list.d"; }

one_line='# deb cdrom:[Debian GNU/Linux 12]/ bookworm main
deb http://deb.debian.org/debian bookworm main
  deb [signed-by=/usr/share/keyrings/k.gpg] http://deb.debian.org/debian-security bookworm-security main
deb cdrom:[Debian GNU/Linux 12]/ bookworm main'
one_line_src='deb-src http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/k.gpg] http://deb.debian.org/debian-security bookworm-security main'

deb822='Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

# Disabled and already-with-sources stanzas yield nothing.
Types: deb
URIs: http://example.invalid/off
Suites: bookworm
Components: main
Enabled: no

types: deb deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main'
deb822_src='Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg'

fresh one-line
printf '%s\n' "$one_line" >"$etc/sources.list"
check "one-line sources.list (debootstrap)" 0 - "$one_line_src"
check "second run gives the same file" 0 - "$one_line_src"

fresh deb822
printf '%s\n' "$deb822" >"$etc/sources.list.d/debian.sources"
check "deb822 debian.sources" 0 "$deb822_src" -

fresh both
printf '%s\n' "$one_line" >"$etc/sources.list"
printf '%s\n' "$deb822" >"$etc/sources.list.d/debian.sources"
check "both forms" 0 "$deb822_src" "$one_line_src"

fresh after-failed-run
printf '%s\n' "$one_line" >"$etc/sources.list"
: >"$etc/sources.list.d/vantra-deb-src.sources"
check "an empty file left by a failed run is replaced" 0 - "$one_line_src"

fresh nothing
printf '# deb http://deb.debian.org/debian bookworm main\n' >"$etc/sources.list"
check "no deb entry at all" 1 - -

fresh already
printf 'deb http://deb.debian.org/debian bookworm main\ndeb-src http://deb.debian.org/debian bookworm main\n' >"$etc/sources.list"
check "deb-src already there" 0 - -

echo "$((7 - failures)) passed, $failures failed"
[ "$failures" = 0 ]
