#!/usr/bin/env bash
# Starts scripts/run under a virtual X display, waits for the window and the local service, then
# closes the window and checks that the service stopped with it.
set -uo pipefail
ROOT="$1"
BUILD="$2"
if ! command -v xvfb-run >/dev/null || ! command -v xwininfo >/dev/null; then
  echo "xvfb-run or xwininfo is not installed: skipping"
  exit 77
fi
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
export HOME="$WORK/home" XDG_DATA_HOME="$WORK/data" XDG_CONFIG_HOME="$WORK/config" VORPANE_NO_BUILD=1 VORPANE_NO_MODEL=1
export VORPANE_BUILD_DIR="$BUILD"
mkdir -p "$HOME"
unset QT_QPA_PLATFORM

cat >"$WORK/inner.sh" <<'INNER'
#!/usr/bin/env bash
# Under load the display may not take connections yet when xvfb-run hands over.
for _ in $(seq 1 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done
"$1/scripts/run" >"$2/run.log" 2>&1 &
RUN_PID=$!
for _ in $(seq 1 150); do
  if grep -q '^Local service:' "$2/run.log" && xwininfo -root -tree 2>/dev/null | grep -q '"Vorpane"'; then
    break
  fi
  sleep 0.2
done
cat "$2/run.log"
URL="$(sed -n 's/^Local service: *//p' "$2/run.log")"
SERVER_PID="$(sed -n 's/.*(process \([0-9]*\)).*/\1/p' "$2/run.log")"
xwininfo -root -tree | grep -q '"Vorpane"' || { echo "no window"; kill $RUN_PID; exit 1; }
[ -n "$URL" ] || { echo "no service address"; kill $RUN_PID; exit 1; }
curl -sf -F app_type=mac "${URL}get_app_version" | grep -q app_version || { echo "service not answering"; kill $RUN_PID; exit 1; }
grep -Eq '^Demo API key: +[0-9a-f]{32} ' "$2/run.log" || { echo "no demo key printed"; kill $RUN_PID; exit 1; }
WINDOWS="$(xwininfo -root -tree | grep -c "\"Vorpane\"")"
# A second launch hands its file to the window that is open and ends; no second window appears.
cp "$1/docs/finished.png" "$2/photo one.png"
timeout 15 "$VORPANE_BUILD_DIR/app/vorpane" "$2/photo one.png" >"$2/second.log" 2>&1
SECOND=$?
[ $SECOND -eq 0 ] || { echo "the second launch did not hand over its file (exit $SECOND)"; cat "$2/second.log"; kill $RUN_PID; exit 1; }
BEFORE_WINDOWS="$WINDOWS"; WINDOWS="$(xwininfo -root -tree | grep -c "\"Vorpane\"")"; [ "$WINDOWS" -eq "$BEFORE_WINDOWS" ] || { echo "a second window opened ($BEFORE_WINDOWS, then $WINDOWS)"; kill $RUN_PID; exit 1; }
# The file handed over is in the window's batch (its journal).
in_journal() {
  python3 - "$XDG_DATA_HOME/Vorpane/Vorpane/batch.db" <<'PY'

import sqlite3, sys
names = [row[0] for row in sqlite3.connect(sys.argv[1]).execute("SELECT name FROM rows")]
sys.exit(0 if "photo one.png" in names else 1)
PY
}
for _ in $(seq 1 50); do in_journal 2>/dev/null && break; sleep 0.1; done
in_journal 2>/dev/null || { echo "the handed-over file is not in the window's batch"; kill $RUN_PID; exit 1; }
# Closing the window ends the app; the script then stops the service.
APP_PID="$(pgrep -P $RUN_PID -f 'app/vorpane' | head -n 1)"
kill -TERM "$APP_PID"
wait $RUN_PID
for _ in $(seq 1 50); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$SERVER_PID" 2>/dev/null; then echo "the service outlived the app"; exit 1; fi
# Starts scripts/run again, waits for the service's address (in $STARTED), then closes the window.
start_again() {
  "$1/scripts/run" >"$2/again.log" 2>&1 &
  local pid=$! app=""
  for _ in $(seq 1 150); do grep -q '^Local service:' "$2/again.log" && break; sleep 0.2; done
  for _ in $(seq 1 100); do app="$(pgrep -P $pid -f 'app/vorpane' | head -n 1)"; [ -n "$app" ] && break; sleep 0.1; done
  STARTED="$(sed -n 's/^Local service: *//p' "$2/again.log")"
  kill -TERM "$app" 2>/dev/null
  wait $pid
}
# The next start keeps the port, where the addresses of results paid for earlier lead; when
# another program holds it, a free one is taken.
PORT="$(cat "$XDG_DATA_HOME/vorpane-server/port" 2>/dev/null)"
case "$URL" in "http://127.0.0.1:$PORT/"*) ;; *) echo "the port kept ($PORT) is not the one of $URL"; exit 1 ;; esac
start_again "$1" "$2"
[ "$STARTED" = "$URL" ] || { echo "the next start moved from $URL to $STARTED"; cat "$2/again.log"; exit 1; }
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(); time.sleep(60)' "$PORT" &
HOLDER=$!
sleep 0.3
start_again "$1" "$2"
kill $HOLDER
case "$STARTED" in http://127.0.0.1:*/api/v1/) ;; *) echo "no service when the port is taken"; cat "$2/again.log"; exit 1 ;; esac
[ "$STARTED" != "$URL" ] && grep -q "Port $PORT is in use" "$2/again.log" || { echo "the taken port was not left"; cat "$2/again.log"; exit 1; }
[ "$(cat "$XDG_DATA_HOME/vorpane-server/port")" = "$PORT" ] || { echo "the port of earlier results was forgotten"; exit 1; }
echo "scripts/run: window shown, service answered at $URL, a second launch handed over its file, both ended; the port is kept, and left when taken"
INNER
chmod +x "$WORK/inner.sh"
xvfb-run -a -s "-screen 0 1280x800x24" "$WORK/inner.sh" "$ROOT" "$WORK"
