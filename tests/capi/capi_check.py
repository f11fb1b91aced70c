"""Runs the C test program (capi_test.c) against a collector and checks what arrived.

Usage: capi_check.py COLLECTOR PROGRAM"""
import subprocess
import sys

from collector import Collector


def main(collector_binary, program):
    with Collector(collector_binary) as collector:
        run = subprocess.run([program], env=collector.environment(), timeout=180)
        if run.returncode != 0:
            print("capi_check: %s exited with %d" % (program, run.returncode))
            return 1
        events = collector.accepted_events()
        failures = []
        if events.get("c_purchase", {}).get("price") != 12 or \
                events["c_purchase"].get("currency") != "EUR":
            failures.append("c_purchase with its properties")
        if "c_opened" not in events or events.get("c_started", {}).get("cold") is not True:
            failures.append("c_opened and c_started")
        if "c_while_paused" in events or "c_before" in events or "c_refused" in events:
            failures.append("nothing reported while paused, before initialize or refused")
        if events.get("c_masked", {}).get("card") != "*" * 16:
            failures.append("c_masked with the card number the filter masked")
        if "c_secret" in events or "c_drop_word" in events:
            failures.append("nothing the filter dropped")
        loops = [event for record in collector.records() if record.get("method") == "POST"
                 for event in record.get("body", {}).get("events", [])
                 if event["event"]["eventName"] == "c_loop"]
        if len(loops) != 2:
            failures.append("c_loop twice within its rate limit, not %d times" % len(loops))
        identity = collector.wait_for(lambda records: any(
            r.get("method") == "GET" and "jane@example.com" in str(r.get("payload"))
            for r in records), seconds=10)
        if not any(r.get("method") == "GET" and "jane@example.com" in str(r.get("payload"))
                   for r in identity):
            failures.append("the identity request with the e-mail")
        for failure in failures:
            print("capi_check: FAILED: " + failure)
        print("capi_check: events arrived: %s" % sorted(events))
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
