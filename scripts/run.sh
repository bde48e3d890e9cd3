#!/usr/bin/env bash
# Installs what Tavrin needs, builds the program and its control tool, then
# starts the server with scripts/start.sh, which reports the ports it serves
# or why it did not start.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO bash "$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only the program and its tool: the tests are built by scripts/test.sh.
cmake --build "$top/build" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" --target tavrin tavrin-send
exec bash "$top/scripts/start.sh"
