# Sourced by demo.sh and inspect.sh. start_collector LOG ARGS... runs $collector with ARGS in the
# background, its output in LOG, waits for the file naming its ports, and sets collector_pid,
# endpoint (the HTTPS ingestion URL) and page (the --ui-port's URL, when asked for); exits when
# it does not start.
start_collector() {
  local log="$1"
  shift
  local ports="$log.ports"
  rm -f "$ports"
  "$collector" --port-file "$ports" "$@" >"$log" 2>&1 &
  collector_pid=$!
  for _ in $(seq 1 400); do
    [ -f "$ports" ] && break
    kill -0 "$collector_pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ ! -f "$ports" ]; then
    echo "$(basename "$0"): the collector did not start" >&2
    cat "$log" >&2
    exit 1
  fi
  endpoint="https://127.0.0.1:$(sed -n 1p "$ports")/"
  page=""
  if [ -n "$(sed -n 2p "$ports")" ]; then page="http://127.0.0.1:$(sed -n 2p "$ports")/"; fi
}
