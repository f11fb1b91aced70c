# Sourced by demo.sh and inspect.sh. start_collector LOG ARGS... runs $collector with ARGS in the
# background, its output in LOG, waits for the line naming its port, and sets collector_pid and
# endpoint (the HTTPS ingestion URL); exits when it does not start.
start_collector() {
  local log="$1"
  shift
  "$collector" "$@" >"$log" 2>&1 &
  collector_pid=$!
  for _ in $(seq 1 100); do
    grep -q "listening on" "$log" 2>/dev/null && break
    sleep 0.05
  done
  endpoint="$(grep -o 'https://127.0.0.1:[0-9]*/' "$log" | head -n 1)"
  if [ -z "$endpoint" ]; then
    echo "$(basename "$0"): the collector did not start" >&2
    cat "$log" >&2
    exit 1
  fi
}
