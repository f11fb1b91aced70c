#!/usr/bin/env python3
"""Fleet simulation (make fleet): many installations of an app against one collector that fails
for a while with 503 and Retry-After, then recovers.

Each host (quorvel-fleet-host) reports one event a second with the default options, in a folder
of its own. Hosts start spread over one upload period, so the collector sees a steady rate; the
collector answers normally for a baseline, then 503 for the outage, then normally again (its
--status-after-ms and --status-for-ms). Afterwards the driver stops every host (each flushes and
writes what it reported), and compares that with what the collector accepted.

Both triggers run at the same time, each with a collector and hosts of its own.
Triggers: "retry" leaves the recovery to each host's back-off; "network" also sends SIGUSR1 to
every host right after recovery, which the library's test reachability source turns into the
network going down and up (KELVOR_TEST_REACHABILITY=sigusr1), at the same moment everywhere.

Standard library only. Prints per second the requests the collector received, the peak second
after recovery against the steady rate before the outage, the time until the backlog was
delivered, and events lost and duplicated; writes fleet-<trigger>.csv (second, requests) and, with
gnuplot, fleet-<trigger>.png in the output folder.
"""

import argparse
import collections
import concurrent.futures
import json
import os
import shutil
import signal
import subprocess
import sys
import time

# The library's default batch size is 30 events: at one event a second a host uploads every 30 s.
BATCH_SIZE = 30
UPLOAD_PERIOD_S = 30


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", required=True, help="build folder with the collector and the host")
    p.add_argument("--out", help="output folder (default: <build>/fleet)")
    p.add_argument("--hosts", type=int, default=100)
    p.add_argument("--outage-s", type=float, default=60)
    p.add_argument("--baseline-s", type=float, default=15,
                   help="steady seconds measured before the outage, after the start-up ramp")
    p.add_argument("--retry-after", default="10", help="Retry-After of the 503 answers")
    p.add_argument("--after-s", type=float, default=100,
                   help="at most this long after recovery before the hosts are stopped")
    p.add_argument("--settle-s", type=float, default=10,
                   help="stop this long after the backlog was delivered")
    p.add_argument("--trigger", choices=["retry", "network", "both"], default="both")
    args = p.parse_args()
    # Every loop below is bounded; so are the inputs.
    if not 1 <= args.hosts <= 1000:
        p.error("--hosts must be 1..1000")
    if not 1 <= args.outage_s <= 600:
        p.error("--outage-s must be 1..600")
    return args


def now_ms():
    return int(time.time() * 1000)


def start_collector(tool, folder, status_after_ms, outage_ms, retry_after):
    log = open(os.path.join(folder, "collector.log"), "w")
    cmd = [tool, "--port", "0", "--ca-out", os.path.join(folder, "ca.pem"),
           "--out", os.path.join(folder, "requests.jsonl"),
           "--write-key", "fleet-write-key",
           "--status", "503", "--status-after-ms", str(status_after_ms),
           "--status-for-ms", str(outage_ms), "--retry-after", retry_after]
    port_file = os.path.join(folder, "collector.port")
    cmd += ["--port-file", port_file]
    proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT)
    # The collector's clock starts just before the file appears.
    deadline = time.time() + 20
    while time.time() < deadline:
        if os.path.exists(port_file):
            with open(port_file) as f:
                return proc, int(f.readline()), now_ms(), cmd
        if proc.poll() is not None:
            break
        time.sleep(0.02)
    proc.kill()
    sys.exit("fleet: the collector did not start (see %s)" % folder)


class Record:
    """Reads the collector's JSONL record as it grows, and keeps what the driver asks of it up to
    date: requests per second since t0, and for events made before recovery their first
    acceptance."""

    def __init__(self, path, t0, recovered_ms):
        self.path = path
        self.t0 = t0
        self.recovered_ms = recovered_ms
        self.offset = 0
        self.entries = []
        self.per_second = collections.Counter()
        self.first_accept = {}    # (pid, i) made before recovery -> first 200 time
        self.moved_on = set()     # pids whose store was emptied after recovery

    def read(self):
        if not os.path.exists(self.path):
            return
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        end = data.rfind(b"\n")
        if end < 0:
            return
        self.offset += end + 1
        for line in data[: end + 1].splitlines():
            try:
                entry = json.loads(line)
            except ValueError:
                continue
            self.entries.append(entry)
            self.per_second[(entry["received_ms"] - self.t0) // 1000] += 1
            events = events_of(entry)
            if (entry.get("status") == 200 and entry["received_ms"] >= self.recovered_ms
                    and 0 < len(events) < BATCH_SIZE):
                # Less than a full batch: the store held no more, everything made before is out.
                key = key_of(events[0])
                if key is not None:
                    self.moved_on.add(key[0])
            for event in events:
                key = key_of(event)
                ts = timestamp_of(event)
                if key is None or ts is None:
                    continue
                if ts >= self.recovered_ms:
                    if entry.get("status") == 200:
                        self.moved_on.add(key[0])
                    continue
                if entry.get("status") == 200 and key not in self.first_accept:
                    self.first_accept[key] = entry["received_ms"]

    def backlog_delivered(self, pids, final):
        """When the last event made before recovery was first accepted, or None while a host
        may still hold some. While the run goes on, a host counts only once it emptied its store
        after recovery (a batch below the batch size, or an event made after recovery, accepted):
        a store sends its oldest rows first, so every earlier event has been seen by then. An
        event never accepted is left to the count of lost ones."""
        if not final and any(pid not in self.moved_on for pid in pids):
            return None
        wanted = set(pids)
        return max([self.recovered_ms] + [when for (pid, _), when in self.first_accept.items()
                                          if pid in wanted])


def events_of(entry):
    body = entry.get("body")
    if entry.get("method") != "POST" or not isinstance(body, dict):
        return []
    events = body.get("events")
    return events if isinstance(events, list) else []


def key_of(event):
    props = event.get("event") if isinstance(event.get("event"), dict) else {}
    try:
        return str(props.get("pid")), int(props.get("i"))
    except (TypeError, ValueError):
        return None


def timestamp_of(event):
    props = event.get("event") if isinstance(event.get("event"), dict) else {}
    try:
        return int(props.get("eventTimestamp"))
    except (TypeError, ValueError):
        return None


def gnuplot_png(csv_path, png_path, title, outage_from, outage_to, steady):
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        return False
    script = "\n".join([
        "set terminal png size 1000,420",
        "set output '%s'" % png_path,
        "set datafile separator ','",
        "set title '%s'" % title,
        "set xlabel 'second of the run'",
        "set ylabel 'requests received'",
        "set key top left opaque",
        "set style fill solid 0.6",
        "set object 1 rect from %d, graph 0 to %d, graph 1 fc rgb '#ffdddd' fs solid 0.4 noborder behind"
        % (outage_from, outage_to),
        "plot '%s' using 1:2 every ::1 with boxes lc rgb '#3366aa' title 'requests/s', "
        "%f with lines lc rgb '#228822' title 'steady before the outage', "
        "%f with lines dt 2 lc rgb '#aa2222' title '3 x steady'" % (csv_path, steady, 3 * steady),
    ])
    result = subprocess.run([gnuplot], input=script, text=True, capture_output=True, timeout=60)
    if result.returncode != 0:
        print("fleet: gnuplot: " + result.stderr.strip(), file=sys.stderr)
    return result.returncode == 0


def stop_all(procs, sig, wait_s):
    for proc in procs:
        if proc.poll() is None:
            try:
                proc.send_signal(sig)
            except ProcessLookupError:
                pass
    deadline = time.time() + wait_s
    for proc in procs:
        left = max(0.1, deadline - time.time())
        try:
            proc.wait(timeout=left)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


def run(args, trigger, out):
    folder = os.path.join(out, trigger)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    tools = os.path.join(args.build, "tools")
    collector_tool = os.path.join(tools, "collector", "quorvel-collector")
    host_tool = os.path.join(tools, "fleet", "quorvel-fleet-host")

    ramp_s = UPLOAD_PERIOD_S  # every host's first upload is one period after its start
    outage_from_s = ramp_s + args.baseline_s
    outage_to_s = outage_from_s + args.outage_s
    collector, port, t0, collector_cmd = start_collector(
        collector_tool, folder, int(outage_from_s * 1000), int(args.outage_s * 1000),
        args.retry_after)
    url = "https://127.0.0.1:%d/" % port
    ca = os.path.join(folder, "ca.pem")
    env = dict(os.environ, KELVOR_TEST_REACHABILITY="sigusr1")
    env.pop("KELVOR_INGESTION_URL", None)

    print("fleet[%s]: %d hosts, baseline %gs-%gs, 503 Retry-After %s from %gs to %gs (%s)"
          % (trigger, args.hosts, ramp_s, outage_from_s, args.retry_after, outage_from_s,
             outage_to_s, " ".join(os.path.basename(c) if c == collector_tool else c
                                   for c in collector_cmd[1:])), flush=True)
    hosts = []
    try:
        # Spread over one upload period, as installations of an app would be.
        for k in range(args.hosts):
            start_at = t0 / 1000 + ramp_s * k / args.hosts
            time.sleep(max(0, start_at - time.time()))
            home = os.path.join(folder, "host-%03d" % k)
            os.makedirs(home)
            log = open(os.path.join(home, "host.log"), "w")
            hosts.append(subprocess.Popen([host_tool, home, url, ca], env=env, stdout=log,
                                          stderr=subprocess.STDOUT))
            log.close()

        pids = [str(proc.pid) for proc in hosts]
        recovered_ms = t0 + int(outage_to_s * 1000)
        record = Record(os.path.join(folder, "requests.jsonl"), t0, recovered_ms)
        signalled_ms = None
        delivered_ms = None
        stop_by = recovered_ms + int(args.after_s * 1000)
        last_print = int(time.time())
        while True:
            t = now_ms()
            if t >= stop_by:
                break
            if trigger == "network" and signalled_ms is None and t >= recovered_ms + 500:
                # Right after recovery, the same network change for every host at once.
                signalled_ms = now_ms()
                for proc in hosts:
                    if proc.poll() is None:
                        os.kill(proc.pid, signal.SIGUSR1)
            second = int(time.time())
            if second != last_print:
                last_print = second
                record.read()
                if t >= recovered_ms and delivered_ms is None:
                    delivered_ms = record.backlog_delivered(pids, final=False)
                    if delivered_ms is not None:
                        stop_by = min(stop_by, max(t, delivered_ms) + int(args.settle_s * 1000))
                s = (t - t0) // 1000 - 1
                if s >= 0:
                    print("  %s second %3d: %3d requests"
                          % (trigger, s, record.per_second.get(s, 0)), flush=True)
            time.sleep(0.1)
        stopped_ms = now_ms()
    finally:
        # Each host flushes what it holds and writes its report.
        stop_all(hosts, signal.SIGTERM, 90)
        time.sleep(1)
        stop_all([collector], signal.SIGTERM, 10)

    record = Record(os.path.join(folder, "requests.jsonl"), t0, recovered_ms)
    record.read()
    # From the whole record, the final flush included: the true moment, even if it was late.
    delivered_ms = record.backlog_delivered(pids, final=True)

    # Requests per second, from the collector's start until the hosts were told to stop.
    end_s = (stopped_ms - t0) // 1000
    counts = collections.Counter((e["received_ms"] - t0) // 1000 for e in record.entries
                                 if e["received_ms"] < stopped_ms)
    csv_path = os.path.join(out, "fleet-%s.csv" % trigger)
    with open(csv_path, "w") as f:
        f.write("second,requests\n")
        for s in range(end_s):
            f.write("%d,%d\n" % (s, counts.get(s, 0)))
    baseline = [counts.get(s, 0) for s in range(int(ramp_s), int(outage_from_s))]
    steady = sum(baseline) / max(1, len(baseline))
    after = [(counts.get(s, 0), s) for s in range(int(outage_to_s), end_s)]
    # Means are steadier than one second's count on a shared machine.
    during = [counts.get(s, 0) for s in range(int(outage_from_s) + 1, int(outage_to_s))]
    first_30 = [counts.get(s, 0) for s in range(int(outage_to_s), min(end_s, int(outage_to_s) + 30))]
    peak, peak_s = max(after) if after else (0, None)

    # What the hosts reported against what the collector accepted.
    reports, missing_reports = [], 0
    for k in range(args.hosts):
        path = os.path.join(folder, "host-%03d" % k, "report.json")
        try:
            with open(path) as f:
                reports.append(json.load(f))
        except (OSError, ValueError):
            missing_reports += 1
    accepted_uuid = collections.Counter()
    accepted_key = collections.Counter()
    for entry in record.entries:
        if entry.get("status") != 200:
            continue
        for event in events_of(entry):
            accepted_uuid[event.get("eventUUID")] += 1
            key = key_of(event)
            if key is not None:
                accepted_key[key] += 1
    reported = {(r["pid"], i) for r in reports for i in range(r["reported"])}
    lost = sorted(reported - set(accepted_key))
    dup_uuid = sum(n - 1 for n in accepted_uuid.values() if n > 1)
    dup_key = sum(n - 1 for n in accepted_key.values() if n > 1)
    unknown = sum(1 for k in accepted_key if k not in reported)

    png_path = os.path.join(out, "fleet-%s.png" % trigger)
    plotted = gnuplot_png(csv_path, png_path,
                          "%d hosts, 503 for %gs, trigger: %s" % (args.hosts, args.outage_s,
                                                                  trigger),
                          outage_from_s, outage_to_s, steady)
    result = {
        "trigger": trigger,
        "hosts": args.hosts,
        "outage_s": args.outage_s,
        "steady_per_s": round(steady, 2),
        "peak_after_recovery": peak,
        "peak_second": peak_s,
        "peak_over_steady": round(peak / steady, 2) if steady > 0 else None,
        "mean_during_outage": round(sum(during) / max(1, len(during)), 2),
        "mean_30s_after_recovery": round(sum(first_30) / max(1, len(first_30)), 2),
        "backlog_delivered_after_s": (round((delivered_ms - recovered_ms) / 1000, 1)
                                      if delivered_ms is not None else None),
        "reported": len(reported),
        "accepted_distinct": len(set(accepted_key) & reported),
        "lost": len(lost),
        "duplicated_by_uuid": dup_uuid,
        "duplicated_by_pid_i": dup_key,
        "accepted_not_reported": unknown,
        "host_reports_missing": missing_reports,
        "hosts_not_flushed": sum(1 for r in reports if not r.get("flushed")),
        "dropped_by_cache_cap": sum(r.get("dropped_by_cache_cap", 0) for r in reports),
        "requests": len(record.entries),
        "csv": csv_path,
        "png": png_path if plotted else None,
    }
    with open(os.path.join(out, "fleet-%s.json" % trigger), "w") as f:
        json.dump(result, f, indent=1)
    print("fleet[%s]: steady %.2f requests/s before the outage; peak %d in second %s after "
          "recovery (%sx steady, target <= 3x)" % (trigger, steady, peak, peak_s,
                                                   result["peak_over_steady"]))
    print("fleet[%s]: backlog delivered %s s after recovery; %d events reported, %d lost (the "
          "hosts count %d dropped by their cache cap), %d duplicated by eventUUID, %d by (pid, i); "
          "%d host reports missing"
          % (trigger, result["backlog_delivered_after_s"], len(reported), len(lost),
             result["dropped_by_cache_cap"], dup_uuid, dup_key, missing_reports))
    if lost:
        print("fleet[%s]: first lost (pid, i): %s" % (trigger, lost[:5]))
    print("fleet[%s]: %s%s" % (trigger, csv_path, ", " + png_path if plotted else
                               " (no gnuplot: no plot)"), flush=True)
    return result


def main():
    args = parse_args()
    # The library takes only absolute folders.
    out = os.path.abspath(args.out or os.path.join(args.build, "fleet"))
    os.makedirs(out, exist_ok=True)
    triggers = ["retry", "network"] if args.trigger == "both" else [args.trigger]
    # The triggers run side by side, each with its own collector and hosts, so that both fit in
    # a few minutes: after an outage the paced backlogs take a minute or more to drain.
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(triggers)) as pool:
        results = list(pool.map(lambda t: run(args, t, out), triggers))
    print("\n| trigger | steady req/s | mean req/s during the outage | mean req/s, 30 s after "
          "recovery | peak req/s after recovery | peak / steady | delivered | lost | duplicated "
          "| backlog delivered after |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for r in results:
        print("| %s | %.2f | %.2f | %.2f | %d | %s | %d of %d | %d | %d | %s s |"
              % (r["trigger"], r["steady_per_s"], r["mean_during_outage"],
                 r["mean_30s_after_recovery"], r["peak_after_recovery"],
                 r["peak_over_steady"], r["accepted_distinct"], r["reported"], r["lost"],
                 max(r["duplicated_by_uuid"], r["duplicated_by_pid_i"]),
                 r["backlog_delivered_after_s"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
