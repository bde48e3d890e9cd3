#!/usr/bin/env bash
# Starts the built server (build/admin/tavrin) in the background and waits
# until it listens or ends, within a bound. It then reports the ports it
# serves, or why it did not start, with exit code 1: another copy runs for
# this user account (that copy is left as it is), the program ended (its
# output's and its log's last lines follow), or it opened no port.
# Without a display the window runs offscreen (headless).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin="$top/build/admin/tavrin"
send="$top/build/tools/tavrin-send"
stop="Stop it with: $send TavrinForceShutdown"

# The pid of a running copy that answers the status question ("" for none).
running_copy() {
  "$send" -t "${1:-2000}" TavrinSendStatus 2>/dev/null | sed -n 's/^TavrinStatus wParam=\([0-9]*\) .*/\1/p' | head -n 1 || true
}
# Its answer's service bits (1 SMTP listens, 2 agent runs, 4 POP3 listens).
status_bits() {
  "$send" -t 1000 TavrinSendStatus 2>/dev/null | sed -n "s/^TavrinStatus wParam=$1 lParam=\([0-9]*\) .*/\1/p" | head -n 1 || true
}

# One copy runs per user account; a second one would only bring the first
# forward and end. That copy is left as it is.
other=$(running_copy)
if [ -n "$other" ]; then
  echo "Tavrin did not start: another copy is running (pid $other) for this user account." >&2
  echo "$stop" >&2
  exit 1
fi

data="${XDG_DATA_HOME:-$HOME/.local/share}/Quentar/Tavrin"
ini="$data/Tavrin.ini"
out="$data/tavrin.out"
mkdir -p "$data"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
  if [ ! -e "$ini" ]; then
    # Headless, nobody could answer the first-start checklist, which holds
    # the services back until it is closed: start from the default settings.
    printf '[General]\r\n' >"$ini"
  fi
fi

# A setting of the settings file (section, key, default), keys in any case.
setting() {
  local v
  v=$(awk -v s="[$(printf %s "$1" | tr A-Z a-z)]" -v k="$(printf %s "$2" | tr A-Z a-z)" '
    { sub(/\r$/, ""); l = tolower($0) }
    /^\[/ { inside = (l == s); next }
    inside { i = index($0, "="); if (i && tolower(substr($0, 1, i - 1)) == k) { print substr($0, i + 1); exit } }
  ' "$ini" 2>/dev/null || true)
  echo "${v:-$3}"
}
smtp_port=$(setting "Smtp Server" "Listen Port" 25)
pop3_port=$(setting "Pop 3 Server" "Listen Port" 110)
log_file=$(setting "General" "Log File" "")

# The program's output goes to $out without Qt's notes that a headless
# platform cannot raise a window or hint at its size, and that
# XDG_RUNTIME_DIR is not set (the program keeps its own runtime files in a
# private folder all the same). The filter ignores the terminal's signals,
# as the program does under nohup, so that it outlives this script.
harmless='^(QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to .*|This plugin does not support [A-Za-z]+\(\))$'
nohup "$bin" </dev/null > >(trap '' HUP INT; exec grep --line-buffered -v -E "$harmless" >"$out" 2>&1) 2>&1 &
pid=$!

last_lines() {
  if [ -s "$out" ]; then
    echo "Its output ($out):" >&2
    tail -n 20 "$out" >&2
  fi
  if [ -n "$log_file" ] && [ -f "$log_file" ]; then
    echo "Its log ($log_file):" >&2
    tail -n 20 "$log_file" >&2
  fi
}

# Until it listens, or ends, or has answered without listening for a while
# (a refused port), within a bound.
bits=""
answered=0
for _ in $(seq 150); do
  if ! kill -0 "$pid" 2>/dev/null; then
    code=0
    wait "$pid" || code=$?
    other=$(running_copy)
    if [ "$code" -eq 0 ] && [ -n "$other" ]; then
      echo "Tavrin did not start: another copy is running (pid $other) for this user account." >&2
    else
      echo "Tavrin did not start: it ended with exit code $code." >&2
    fi
    last_lines
    exit 1
  fi
  bits=$(status_bits "$pid")
  if [ -n "$bits" ]; then
    [ $((bits & 5)) -ne 0 ] && break
    answered=$((answered + 1))
    [ "$answered" -ge 10 ] && break
  fi
  sleep 0.2
done

served=""
[ -n "$bits" ] && [ $((bits & 1)) -ne 0 ] && served="SMTP on port $smtp_port"
[ -n "$bits" ] && [ $((bits & 4)) -ne 0 ] && served="${served:+$served, }POP3 on port $pop3_port"
if [ -z "$served" ]; then
  echo "Tavrin runs (pid $pid) but serves no port: SMTP port $smtp_port and POP3 port $pop3_port were not opened." >&2
  echo "Ports below 1024 need root or: sudo setcap cap_net_bind_service=+ep $bin" >&2
  echo "(or another program holds them; other ports are set in $ini)." >&2
  last_lines
  echo "$stop" >&2
  exit 1
fi
echo "Tavrin started (pid $pid): $served. Settings: $ini"
[ $((bits & 5)) -eq 5 ] || echo "Not served: $([ $((bits & 1)) -ne 0 ] && echo "POP3 port $pop3_port" || echo "SMTP port $smtp_port") (see the log in the window)."
echo "$stop"
