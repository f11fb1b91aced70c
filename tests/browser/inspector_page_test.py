#!/usr/bin/env python3
"""The collector's page in a real browser, as a person uses it.

Starts quorvel-collector with its page and a plan the quickstart breaks, opens the page in
headless Chromium (driven over the DevTools protocol on a pipe, Python's standard library only),
runs the quickstart against the collector, and checks what the page shows: rows arriving without
a reload, the filters narrowing them, violations marked, a decoded identity request with the key
masked, and a fault switch refusing the next batch and the app's retry arriving. Saves
screenshots in --out. Exits 77 (skipped) when Chromium is missing or does not start.
"""
import argparse
import base64
import fcntl
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "capi"))
from collector import Collector  # noqa: E402  the one launcher of the Python tests

SKIP = 77
DEADLINE_S = 90


class Skip(Exception):
    pass


class Browser:
    """Chromium with --remote-debugging-pipe: NUL-terminated JSON on its fds 3 (in) and 4 (out)."""

    def __init__(self, chromium, profile, log):
        to_chromium_r, self._to_chromium = os.pipe()
        self._from_chromium, from_chromium_w = os.pipe()

        def wire():
            # Above any fd the pipes may have taken, then onto 3 and 4.
            a = fcntl.fcntl(to_chromium_r, fcntl.F_DUPFD, 10)
            b = fcntl.fcntl(from_chromium_w, fcntl.F_DUPFD, 10)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.proc = subprocess.Popen(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu",
             "--disable-dev-shm-usage", "--no-first-run", "--no-default-browser-check",
             "--remote-debugging-pipe", f"--user-data-dir={profile}", "about:blank"],
            preexec_fn=wire, close_fds=False, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        os.close(to_chromium_r)
        os.close(from_chromium_w)
        self._replies = queue.Queue()
        self._next_id = 0
        threading.Thread(target=self._read, daemon=True).start()
        self.session = None

    def _read(self):
        pending = b""
        while True:
            chunk = os.read(self._from_chromium, 1 << 16)
            if not chunk:
                self._replies.put(None)
                return
            pending += chunk
            while b"\0" in pending:
                message, pending = pending.split(b"\0", 1)
                self._replies.put(json.loads(message))

    def send(self, method, params=None, session=True, timeout=30):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self._to_chromium, json.dumps(message).encode() + b"\0")
        end = time.monotonic() + timeout
        while True:
            try:
                reply = self._replies.get(timeout=max(0.1, end - time.monotonic()))
            except queue.Empty:
                raise RuntimeError(f"no answer to {method}")
            if reply is None:
                raise RuntimeError("chromium closed its pipe")
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def open(self, url):
        target = self.send("Target.createTarget", {"url": "about:blank"}, session=False)
        self.session = self.send("Target.attachToTarget",
                                 {"targetId": target["targetId"], "flatten": True},
                                 session=False)["sessionId"]
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": 1680, "height": 960, "deviceScaleFactor": 1, "mobile": False})
        self.send("Page.navigate", {"url": url})

    def eval(self, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait(self, expression, what):
        end = time.monotonic() + DEADLINE_S
        value = None
        while time.monotonic() < end:
            value = self.eval(expression)
            if value:
                return value
            time.sleep(0.1)
        raise AssertionError(f"the page never showed {what} (last: {value!r})")

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        self.proc.kill()
        self.proc.wait()


def run_quickstart(args, work, collector, name, delivered=(0,)):
    """Runs the quickstart in its own folder (again: the same app starting again); returns the
    number of events it reported and its exit code (2: not everything delivered by its flush)."""
    data = os.path.join(work, name)
    os.makedirs(data, exist_ok=True)
    done = subprocess.run([args.quickstart, "--endpoint", collector.url, "--ca",
                           collector.ca_file, "--data", data], cwd=data, capture_output=True, text=True,
                          timeout=120)
    if done.returncode not in delivered:
        raise AssertionError(f"the quickstart failed ({done.returncode}): {done.stdout}"
                             f"{done.stderr[-2000:]}")
    return int(open(os.path.join(data, "reported-events.txt")).read()), done.returncode


VISIBLE_EVENTS = "document.querySelectorAll('#events tbody tr.event:not([hidden])')"


def filter_events(browser, name, text):
    browser.eval(f"""(() => {{
      const s = document.getElementById('filter-name'); s.value = {json.dumps(name)};
      s.dispatchEvent(new Event('change'));
      const t = document.getElementById('filter-text'); t.value = {json.dumps(text)};
      t.dispatchEvent(new Event('input'));
    }})()""")
    return browser.eval(f"[...{VISIBLE_EVENTS}].map(r => r.dataset.name)")


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print(f"ok: {what}")


def main():
    parser = argparse.ArgumentParser()
    for flag in ("--collector", "--quickstart", "--plan", "--out"):
        parser.add_argument(flag, required=True)
    args = parser.parse_args()
    for name in ("collector", "quickstart", "plan", "out"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        print("SKIP: chromium is not installed (scripts/install-deps.sh --browser installs it; "
              "make test runs that)")
        return SKIP
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="inspector-page-")
    collector = browser = None
    try:
        collector = Collector(args.collector, ["--ui-port", "0", "--plan", args.plan,
                                               "--write-key", "demo-write-key"])
        page = collector.ui_url
        try:
            browser = Browser(chromium, os.path.join(work, "profile"),
                              open(os.path.join(work, "chromium.log"), "w"))
            browser.open(page)
            browser.wait("document.readyState === 'complete' && !!document.getElementById('events')",
                         "the page")
        except (RuntimeError, OSError) as e:
            print(f"SKIP: chromium did not start here ({e}); see {work}/chromium.log")
            return SKIP
        browser.eval("window.loadedOnce = 'yes'")

        reported, _ = run_quickstart(args, work, collector, "first-run")
        rows = browser.wait(f"(() => {{ const n = {VISIBLE_EVENTS}.length; "
                            f"return n >= {reported} ? n : 0; }})()", f"{reported} event rows")
        check(rows == reported, f"{reported} event rows appear, one per event reported")
        check(browser.eval("window.loadedOnce") == "yes", "they came without a reload")
        browser.wait(f"document.getElementById('count-events').textContent === '{reported}'",
                     f"the events counter at {reported}")
        print("ok: the events counter says so")

        names = filter_events(browser, "add_to_cart", "")
        check(names == ["add_to_cart"] * 4, "the name filter narrows the list to add_to_cart")
        names = filter_events(browser, "", "sku-101")
        check(sorted(names) == ["add_to_cart", "product_viewed"],
              "the text filter finds the two events of SKU-101")
        filter_events(browser, "", "")

        def badges(name):
            return browser.eval(f"""[...document.querySelectorAll(
              '#events tr.event.violation[data-name="{name}"] .badge')].map(b => b.className)""")

        check(any("v-unplanned_event" in b for b in badges("receipt_viewed")),
              "receipt_viewed is marked as an unplanned event")
        check(any("v-missing_property" in b for b in badges("add_to_cart")) and
              any("v-wrong_type" in b for b in badges("add_to_cart")),
              "add_to_cart is marked with a missing property and a wrong type")
        check(any("v-out_of_range" in b for b in badges("purchase")) and
              any("v-unplanned_property" in b for b in badges("purchase")),
              "purchase is marked with a value out of range and a property not in the plan")
        check(browser.eval("document.querySelectorAll('#events tr.event[data-name=\"product_viewed\"]"
                           ".badge').length") == 0, "product_viewed, as planned, is not marked")

        identity = browser.eval("""(() => {
          const get = [...document.querySelectorAll('#requests tr.request')]
            .find(r => r.children[1].textContent === 'GET identity');
          get.click();
          const text = get.nextElementSibling.textContent;
          get.click();
          return text; })()""")
        check("payload (decoded)" in identity and "optin" in identity and
              "demo-write-key" not in identity and "(14 characters)" in identity,
              "the identity request is decoded, its consent words explained, w_k masked")

        browser.eval("""(() => { const row = [...document.querySelectorAll('#events tr.event')]
          .find(r => r.dataset.name === 'purchase');
          row.click(); row.scrollIntoView({block: 'center'}); })()""")
        shot = os.path.join(args.out, "inspector.png")
        browser.screenshot(shot)
        print(f"screenshot: {shot}")

        browser.eval("document.getElementById('fault-refuse').click()")
        browser.wait("document.getElementById('fault-refuse').classList.contains('on')",
                     "the refuse switch armed")
        # The refused batch is sent again after the back-off, by the same flush when the
        # refusal came before it, else at the app's next start (flush gives up on a failure).
        _, code = run_quickstart(args, work, collector, "second-run", delivered=(0, 2))
        if code == 2:
            run_quickstart(args, work, collector, "second-run", delivered=(0, 2))
        refused = browser.wait("""(() => { const r = [...document.querySelectorAll(
            '#requests tr.request[data-status="503"]')].find(r => r.textContent.includes('refuse'));
            return r ? Number(r.dataset.seq) : 0; })()""", "a refused batch")
        retried = browser.wait(f"""(() => {{
            const ids = [...document.querySelectorAll('#events tr.event.refused')]
              .map(r => r.querySelector('td.uuid').textContent);
            const later = [...document.querySelectorAll('#events tr.event:not(.refused)')]
              .filter(r => ids.includes(r.querySelector('td.uuid').textContent));
            return ids.length > 0 && later.length === ids.length ? ids.length : 0; }})()""",
                               "the refused events arriving again")
        check(refused > 0 and retried > 0,
              f"the switch refused the next batch and the app's retry of the {retried} refused event(s) "
              "arrived")
        check(not browser.eval("document.getElementById('fault-refuse').classList.contains('on')"),
              "the switch is spent after one batch")
        browser.screenshot(os.path.join(args.out, "inspector-retry.png"))

        browser.eval("document.getElementById('clear').click()")
        browser.wait(f"{VISIBLE_EVENTS}.length === 0 && "
                     "document.getElementById('count-events').textContent === '0'", "a clear list")
        print("ok: Clear empties the list and the counters")
        browser.eval("document.getElementById('pause').click()")
        reported, _ = run_quickstart(args, work, collector, "third-run")
        browser.wait(f"fetch('/api/summary').then(r => r.json()).then(s => s.events >= {reported})",
                     "the collector holding the new events")
        ticks = int(browser.eval("document.body.dataset.ticks"))
        browser.wait(f"Number(document.body.dataset.ticks) > {ticks + 1}", "two more ticks")
        check(browser.eval(f"{VISIBLE_EVENTS}.length") == 0, "Pause holds the list still")
        browser.eval("document.getElementById('pause').click()")
        browser.wait(f"{VISIBLE_EVENTS}.length === {reported}", "the held events after Resume")
        print("ok: Resume brings what arrived meanwhile")
        print("passed")
        return 0
    finally:
        if browser is not None:
            browser.close()
        if collector is not None:
            collector.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
