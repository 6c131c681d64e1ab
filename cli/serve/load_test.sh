#!/usr/bin/env bash
# A bounded load test of `wqadmin serve`, by hand (not part of ./test.sh):
# 20 clients for 10 s on loopback mixing /api/list pages, /api/show and
# /api/tasks, with one /api/stats a second, twice; the server's resident
# memory after a warm-up and after each round; then /api/stats against
# `wqadmin stats` on the same queue.
#
#   cli/serve/load_test.sh [BUILD_DIR]          seeds a 100,000-message queue
#   QUEUE=/path/q.qds cli/serve/load_test.sh    serves that queue (read-only)
#
# Every request goes to 127.0.0.1 only, and every loop is bounded.
set -euo pipefail
build=${1:-build}
cmake --build "$build" --target wqadmin tavlo_console serve_load >/dev/null
bin=$(cd "$build/bin" && pwd)
export TAVLO_SYNC=normal

work=$(mktemp -d /tmp/wq-serve-load-XXXXXX)
server=""
cleanup() {
  [[ -n "$server" ]] && kill -INT "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if [[ -n "${QUEUE:-}" ]]; then
  data=$(cd "$(dirname "$QUEUE")" && pwd)
  name=$(basename "$QUEUE")
else
  data=$work
  name=smtpibwq.fix
  echo "seeding a 100,000-message queue..."
  "$bin/wqadmin" --data "$data" create "$name" >/dev/null
  "$bin/wqadmin" --data "$data" seed "$name" --count 80000 --status 6 --quiet
  "$bin/wqadmin" --data "$data" seed "$name" --count 20000 --status 11 --quiet
fi

"$bin/wqadmin" --data "$data" serve "$name" --listen 127.0.0.1:0 >"$work/serve.log" 2>&1 &
server=$!
port=""
for _ in $(seq 100); do
  port=$(grep -o 'http://127\.0\.0\.1:[0-9]*' "$work/serve.log" | head -1 | cut -d: -f3 || true)
  [[ -n "$port" ]] && break
  sleep 0.1
done
[[ -n "$port" ]] || { cat "$work/serve.log"; exit 1; }
url="http://127.0.0.1:$port"
rss() { awk '/^VmRSS/ {print $2}' "/proc/$server/status"; }
get() { curl --noproxy '*' -sf -o /dev/null "$url$1"; }

echo "warming up (one short round)..."
"$bin/serve_load" --port "$port" --clients 20 --seconds 3 >/dev/null
rss0=$(rss)
echo "== round 1"
"$bin/serve_load" --port "$port" --clients 20 --seconds 10
sleep 1
rss1=$(rss)
echo "== round 2"
"$bin/serve_load" --port "$port" --clients 20 --seconds 10
sleep 1
rss2=$(rss)
echo "server RSS: ${rss0} kB after warm-up, ${rss1} kB after round 1, ${rss2} kB after round 2"

# /api/stats against the command, warm, best and median of 5 each.
now() { date +%s.%N; }
timeit() {
  local t0 t1
  t0=$(now); "$@" >/dev/null; t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
}
get /api/stats
"$bin/wqadmin" --data "$data" stats "$name" --quiet >/dev/null
api=(); cmd=()
for _ in 1 2 3 4 5; do
  api+=("$(timeit get /api/stats)")
  cmd+=("$(timeit "$bin/wqadmin" --data "$data" stats "$name" --quiet --json)")
done
best() { printf '%s\n' "$@" | sort -g | head -1; }
median() { printf '%s\n' "$@" | sort -g | sed -n 3p; }
echo "/api/stats:    best $(best "${api[@]}") s, median $(median "${api[@]}") s"
echo "wqadmin stats: best $(best "${cmd[@]}") s, median $(median "${cmd[@]}") s"
awk -v a="$(best "${api[@]}")" -v c="$(best "${cmd[@]}")" \
  'BEGIN { printf "ratio (best):  %.2f\n", a / c }'
