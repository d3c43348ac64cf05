#!/usr/bin/env bash
# The README's walkthrough and its TFTP store example, run as written (taken
# from the README itself) against the real program on a fresh tree in the
# default locale: the test breaks when the README drifts from the program.
# Usage: walkthrough_test.sh README BUILD_DIR   (needs ports 10079 and 69)
set -euo pipefail
unset LC_ALL LC_TIME LANG  # the default locale: C
readme=$1 build=$(cd "$2" && pwd)
work=$(mktemp -d) && trap 'kill $program 2>/dev/null; wait $program; rm -rf "$work"' EXIT
fail() { echo "walkthrough: $*" >&2; exit 1; }
mkdir -p "$work/var/log" && ln -s "$build" "$work/build" && cd "$work"
(cd var && QT_QPA_PLATFORM=offscreen exec "$build/src/app/datacontroller" --http off >/dev/null 2>&1) &
program=$!
for _ in $(seq 100); do
  build/tools/unit_client --wait 300 SU0 DU_CHECK 2>/dev/null | grep CHECK >/dev/null && break
  sleep 0.1
done

# Each command line of the walkthrough; where its comment names a CC_TEXT, that text comes back.
section=$(sed -n '/^## Talking to it as a unit/,/^## /p' "$readme")
grep -q 'date +%x' <<<"$section" || fail "the example record is no longer dated by the locale"
while read -r line; do
  command=${line%%#*} expected=$(sed -n 's/.*# *\(CC_TEXT [A-Z_]*\).*/\1/p' <<<"$line")
  output=$(eval "${command/--wait 60000/--wait 500}") || fail "$command failed"
  [ -z "$expected" ] || grep -q "^$expected" <<<"$output" || fail "$command: no $expected in: $output"
done < <(grep -E '^    (build/tools/unit_client|curl) ' <<<"$section")
grep -q "^$(date +%x) 21.5" var/log/SU1/T1.dat || fail "T1.dat: $(cat var/log/SU1/T1.dat)"
cmp -s alllog.dat var/log/SU1/alllog.dat || fail "the fetched alllog.dat differs"
[ "$(build/tools/unit_client --help | head -c 6)" = "usage:" ] || fail "--help prints no usage"

# The store example of "File transfer" on the fresh tree (config/ made at start).
store=$(grep -m1 -E '^    curl -T camera.ini tftp://du/config/' "$readme" | sed 's/#.*//; s/du/127.0.0.1/')
echo "[camera]" >camera.ini
eval "$store" || fail "$store failed"
cmp -s camera.ini var/config/camera.ini || fail "config/camera.ini was not stored"
echo "walkthrough: the README's commands work as written"
