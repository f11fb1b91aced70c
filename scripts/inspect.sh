#!/usr/bin/env bash
# make inspect: quorvel-collector with its live page and the quickstart's tracking plan, the
# quickstart run once against it, then the collector left running for the developer's own app
# until Ctrl-C. INSPECT_PORT and INSPECT_UI_PORT choose the ports (default: free ones).
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
collector="$build/tools/collector/quorvel-collector"
quickstart="$build/examples/quickstart/quickstart"
plan="$PWD/examples/quickstart/tracking-plan.json"
# Kept after the run, so the record can be summarised: replaced by the next make inspect.
work="$build/inspect"
rm -rf "$work"
mkdir -p "$work/app"
collector_pid=""
cleanup() {
  if [ -n "$collector_pid" ]; then kill "$collector_pid" 2>/dev/null || true; wait "$collector_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
trap 'exit 0' INT TERM

source "$(dirname "$0")/start-collector.sh"
start_collector "$work/collector.out" --port "${INSPECT_PORT:-0}" --ui-port "${INSPECT_UI_PORT:-0}" \
  --ca-out "$work/ca.pem" --out "$work/requests.jsonl" --plan "$plan"

echo "inspect: running the quickstart once against $endpoint"
(cd "$work/app" && "$quickstart" --endpoint "$endpoint" --ca "$work/ca.pem" --data "$work/app") \
  2>"$work/quickstart.log" || echo "inspect: the quickstart did not deliver everything (see $work/quickstart.log)"

cat <<TEXT

  The page:  $page
  (it updates as requests arrive; the API is documented in quorvel-collector --help)

  Point your own app at the collector with these two lines, then run it:

    export KELVOR_INGESTION_URL=$endpoint
    export KELVOR_CA_BUNDLE=$work/ca.pem

  Every event is checked against $plan.
  The record: $work/requests.jsonl
    ($collector --summarize $work/requests.jsonl --plan $plan)

  Ctrl-C stops the collector. What it receives:
TEXT
tail -n +1 -f --pid="$collector_pid" "$work/collector.out" | grep --line-buffered -v "listening on\|page and API on"
