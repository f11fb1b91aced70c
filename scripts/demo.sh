#!/usr/bin/env bash
# The library's main job, end to end: start quorvel-collector on a free loopback port with a
# fresh certificate, run the quickstart app against it, and show what the endpoint received.
set -euo pipefail
build="${1:-build}"
collector="$build/tools/collector/quorvel-collector"
quickstart="$build/examples/quickstart/quickstart"
work="$(mktemp -d -t kelvor-demo-XXXXXX)"
collector_pid=""
cleanup() {
  if [ -n "$collector_pid" ]; then kill "$collector_pid" 2>/dev/null || true; wait "$collector_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "$0")/start-collector.sh"
start_collector "$work/collector.out" --port 0 --ca-out "$work/ca.pem" \
  --out "$work/requests.jsonl" --write-key demo-write-key
echo "demo: quorvel-collector listening on $endpoint"

(cd "$work" && "$OLDPWD/$quickstart" --endpoint "$endpoint" --ca "$work/ca.pem" --data "$work/app") \
  2>"$work/quickstart.log" || { echo "demo: the quickstart failed" >&2; tail -20 "$work/quickstart.log" >&2; exit 1; }

echo
echo "demo: requests as the collector saw them:"
sed 's/^/  /' "$work/collector.out" | grep -v "listening on"
echo
"$collector" --summarize "$work/requests.jsonl" --expect "$(cat "$work/reported-events.txt")"
