#!/usr/bin/env bash
# A test process killed with SIGKILL in the middle of its run, as ctest does at a time-out, takes the platform
# emulator it started with it: none is left running.
set -euo pipefail
probe="$1"
emulator="$2"

out="$(mktemp)"
trap 'rm -f "$out"' EXIT
"$probe" "$emulator" --port 0 >"$out" &
probe_pid=$!
for _ in $(seq 100); do
    [ -s "$out" ] && break
    sleep 0.1
done
read -r child rest <"$out" || true
if [ -z "${child:-}" ] || ! kill -0 "$child" 2>/dev/null; then
    echo "FAIL: the probe did not start the emulator (it printed: $(cat "$out"))"
    kill -9 "$probe_pid" 2>/dev/null || true
    exit 1
fi
echo "emulator $child started: $rest"
kill -9 "$probe_pid"
wait "$probe_pid" 2>/dev/null || true
for _ in $(seq 100); do
    if ! kill -0 "$child" 2>/dev/null; then
        echo "PASS: the emulator ended with the test process that started it"
        exit 0
    fi
    sleep 0.1
done
echo "FAIL: emulator $child still running after its test process was killed"
kill -9 "$child" 2>/dev/null || true
exit 1
