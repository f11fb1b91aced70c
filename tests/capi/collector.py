"""Runs the real quorvel-collector on 127.0.0.1 for one test, as tests/support/Collector does
for the C++ tests, and gives the environment that points the library at it. The Python tests
(the C interface's and the browser's) all start it from here."""
import json
import os
import subprocess
import tempfile
import time


class Collector:
    def __init__(self, binary, flags=()):
        self._dir = tempfile.TemporaryDirectory(prefix="kelvor-collector-")
        self.dir = self._dir.name
        self.ca_file = os.path.join(self.dir, "ca.pem")
        self.out_file = os.path.join(self.dir, "requests.jsonl")
        self.log_file = os.path.join(self.dir, "collector.log")
        port_file = os.path.join(self.dir, "port")
        self._log = open(self.log_file, "w")
        self._process = subprocess.Popen(
            [binary, "--port", "0", "--ca-out", self.ca_file, "--out", self.out_file,
             "--port-file", port_file] + list(flags),
            stdout=self._log, stderr=subprocess.STDOUT)
        # The file appears, whole, once the ports listen: the port, then the page's (--ui-port).
        self.port = None
        self.ui_url = None
        for _ in range(3000):
            if os.path.exists(port_file):
                with open(port_file) as lines:
                    ports = [int(line) for line in lines if line.strip()]
                self.port = ports[0]
                if len(ports) > 1:
                    self.ui_url = "http://127.0.0.1:%d/" % ports[1]
                break
            if self._process.poll() is not None:
                break
            time.sleep(0.01)
        if self.port is None:
            self.stop()
            raise RuntimeError("quorvel-collector did not start")
        self.url = "https://127.0.0.1:%d/" % self.port

    def environment(self):
        """The process environment for a host of the library: this endpoint, its certificate and
        folders of its own for the store and the preferences."""
        env = dict(os.environ)
        env.update({
            "KELVOR_INGESTION_URL": self.url,
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
        self._log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self._dir.cleanup()
