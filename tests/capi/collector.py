"""Runs the real quorvel-collector on 127.0.0.1 for one test, as tests/support/Collector does
for the C++ tests, and gives the environment that points the library at it."""
import json
import os
import re
import subprocess
import tempfile
import time


class Collector:
    def __init__(self, binary):
        self._dir = tempfile.TemporaryDirectory(prefix="kelvor-capi-")
        self.dir = self._dir.name
        self.ca_file = os.path.join(self.dir, "ca.pem")
        self.out_file = os.path.join(self.dir, "requests.jsonl")
        self._stdout = open(os.path.join(self.dir, "stdout.txt"), "w+")
        self._process = subprocess.Popen(
            [binary, "--port", "0", "--ca-out", self.ca_file, "--out", self.out_file],
            stdout=self._stdout, stderr=subprocess.STDOUT)
        self.port = None
        for _ in range(1000):
            self._stdout.seek(0)
            found = re.search(r"listening on https://127\.0\.0\.1:(\d+)/", self._stdout.read())
            if found:
                self.port = int(found.group(1))
                break
            if self._process.poll() is not None:
                break
            time.sleep(0.01)
        if self.port is None:
            self.stop()
            raise RuntimeError("quorvel-collector did not start")

    def environment(self):
        """The process environment for a host of the library: this endpoint, its certificate and
        folders of its own for the store and the preferences."""
        env = dict(os.environ)
        env.update({
            "KELVOR_INGESTION_URL": "https://127.0.0.1:%d/" % self.port,
            "KELVOR_CA_BUNDLE": self.ca_file,
            "KELVOR_DATA_DIR": os.path.join(self.dir, "data"),
            "KELVOR_CONFIG_DIR": os.path.join(self.dir, "config"),
        })
        return env

    def records(self):
        if not os.path.exists(self.out_file):
            return []
        with open(self.out_file) as lines:
            return [json.loads(line) for line in lines if line.strip()]

    def accepted_events(self):
        """The events of every accepted batch, by name."""
        events = {}
        for record in self.records():
            if record.get("method") == "POST" and 200 <= record.get("status", 0) <= 299:
                for event in record["body"]["events"]:
                    events[event["event"]["eventName"]] = event["event"]
        return events

    def wait_for(self, done, seconds=30):
        deadline = time.monotonic() + seconds
        while not done(self.records()) and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.records()

    def stop(self):
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(5)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self._dir.cleanup()
