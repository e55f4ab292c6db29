#!/usr/bin/env bash
# Benchmark of the real program (not a test): wall time of a full sweep with no serial device
# and of one with a single modem that answers at once, against the schedule of prescribed
# waits; CPU time; peak resident memory. Runs the program in private namespaces that hold only
# the modem simulator's pseudo-terminals (never the machine's own serial devices), so it needs
# root.
#
#   tools/bench.sh [BUILD_DIR] [--reps N]      (BUILD_DIR defaults to build)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=build
if [[ $# -gt 0 && $1 != --* ]]; then
    build=$1
    shift
fi
[[ $build = /* ]] || build=$root/$build

modemtest=$build/modemtest
modemsim=$build/tests/e2e/modemsim
if [[ ! -x $modemtest || ! -x $modemsim ]]; then
    echo "bench: build first: cmake -S . -B $build && cmake --build $build -j2" >&2
    exit 2
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "bench: needs root, to make the namespaces that keep the machine's ports out of reach" >&2
    exit 2
fi

host=support.dunvarlotek.example
if [[ -f $build/CMakeCache.txt ]]; then
    cached=$(sed -n 's/^MODEMTEST_SUPPORT_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
    [[ -n $cached ]] && host=$cached
fi

exec python3 "$root/tools/bench/bench.py" --modemtest "$modemtest" --modemsim "$modemsim" \
    --host "$host" "$@"
