#!/usr/bin/env bash
# Installs what Tavrin needs, builds it and starts the server in the
# background. Without a display the window runs offscreen (headless).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO bash "$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" -j "$(nproc)"
data="${XDG_DATA_HOME:-$HOME/.local/share}/Quentar/Tavrin"
mkdir -p "$data"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ ! -e "$data/Tavrin.ini" ]; then
  # Headless, nobody could answer the first-start checklist, which holds
  # the services back until it is closed: start from the default settings.
  printf '[General]\r\n' >"$data/Tavrin.ini"
fi
nohup "$top/build/admin/tavrin" >"$data/tavrin.out" 2>&1 &
echo "Tavrin started (pid $!). Settings: $data/Tavrin.ini"
echo "Stop it with: $top/build/tools/tavrin-send TavrinForceShutdown"
