#!/usr/bin/env bash
# Installs what is missing, builds the program into build/ and starts it in this terminal.
# Sweeping the ports opens this machine's real serial devices (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build >/dev/null
cmake --build build --target modemtest -j"$(nproc)"
exec build/modemtest
