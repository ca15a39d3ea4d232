#!/usr/bin/env bash
# A fresh install from the release packages in three steps: the plugin and emulators packages unpacked into an
# empty directory, a running platform emulator's address written into the configuration template, the check run.
#
#   install_test.sh BUILD_DIR [WINE]    with WINE: the win64 zips, their programs run under that wine
set -euo pipefail
build="$1"
wine="${2:-}"
work="$(mktemp -d)"
emu_pid=""
trap '[ -n "$emu_pid" ] && kill "$emu_pid" 2>/dev/null; rm -rf "$work"' EXIT
run() { if [ -n "$wine" ]; then "$wine" "$@"; else "$@"; fi; }
exe=""
[ -n "$wine" ] && exe=".exe"

(cd "$build" && cpack -B "$work/dist" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
mkdir -p "$work/root"
for package in "$work"/dist/VantraIotSMSPlugin-*.*; do
    (cd "$work/root" && cmake -E tar xf "$package")
done
root="$work/root"
for file in INSTALL.txt "bin/vantra-host$exe" "bin/vantra-platform-emu$exe" plugins/vantraiot_plugin/VantraIotSMSConfig.xml \
    plugins/vantraiot_plugin/lumavex-media/clip.h264; do
    [ -f "$root/$file" ] || { echo "install_test: $file is not in the packages" >&2; exit 1; }
done

# The emulators package's platform server, on a free port. Started directly (not through `run`, whose subshell would
# be what $! names), and killed with this script however it ends, ctest's SIGKILL at a time-out included.
setpriv --pdeathsig KILL ${wine:+"$wine"} "$root/bin/vantra-platform-emu$exe" --port 0 --cloud-type 3 \
    >"$work/emu.out" 2>/dev/null &
emu_pid=$!
for _ in $(seq 1 300); do grep -q "listening on" "$work/emu.out" && break; sleep 0.1; done
port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/emu.out" | tr -d '\r')"
[ -n "$port" ] || { echo "install_test: the platform emulator did not start" >&2; exit 1; }

config="$root/plugins/vantraiot_plugin/VantraIotSMSConfig.xml"
sed -i "s|<VantraIotServerPort>[^<]*<|<VantraIotServerPort>$port<|" "$config"
if ! run "$root/bin/vantra-host$exe" --check >"$work/check.out" 2>&1; then
    cat "$work/check.out"
    echo "install_test: the check failed" >&2
    exit 1
fi
cat "$work/check.out"
grep -q "the plugin starts" "$work/check.out"
