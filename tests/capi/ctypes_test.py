"""The shared library from Python with ctypes alone: reports events with properties, flushes and
checks them at the collector.

Usage: ctypes_test.py COLLECTOR LIBRARY"""
import ctypes
import json
import os
import sys

from collector import Collector

KELVOR_OK = 0
KELVOR_E_INVALID_JSON = 2
KELVOR_INIT_READY = 0


def main(collector_binary, library_path):
    with Collector(collector_binary) as collector:
        # The library reads these when it initialises.
        os.environ.update(collector.environment())
        kelvor = ctypes.CDLL(library_path)
        kelvor.kelvor_version.restype = ctypes.c_char_p
        kelvor.kelvor_options_new.restype = ctypes.c_void_p
        kelvor.kelvor_options_set_write_key.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        kelvor.kelvor_options_set_batch_size.argtypes = [ctypes.c_void_p, ctypes.c_int64]
        kelvor.kelvor_options_free.argtypes = [ctypes.c_void_p]
        kelvor.kelvor_initialize.argtypes = [ctypes.c_void_p]
        kelvor.kelvor_initialize_message.restype = ctypes.c_char_p
        kelvor.kelvor_report.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        kelvor.kelvor_flush.argtypes = [ctypes.c_int64]
        kelvor.kelvor_shutdown.argtypes = [ctypes.c_int64]

        options = kelvor.kelvor_options_new()
        kelvor.kelvor_options_set_write_key(options, b"python-write-key-0123")
        kelvor.kelvor_options_set_batch_size(options, 10)
        status = kelvor.kelvor_initialize(options)
        kelvor.kelvor_options_free(options)
        if status != KELVOR_INIT_READY:
            print("ctypes_test: initialize answered %d: %s"
                  % (status, kelvor.kelvor_initialize_message().decode()))
            return 1

        sent = {"py_search": {"query": "shoes", "results": 12},
                "py_checkout": {"total": 99.5, "items": ["a", "b"], "gift": False}}
        failures = []
        for name, properties in sent.items():
            if kelvor.kelvor_report(name.encode(), json.dumps(properties).encode()) != KELVOR_OK:
                failures.append("kelvor_report(%s)" % name)
        if kelvor.kelvor_report(b"py_broken", b"{\"query\": ") != KELVOR_E_INVALID_JSON:
            failures.append("malformed JSON refused")
        if kelvor.kelvor_flush(20000) != KELVOR_OK:
            failures.append("kelvor_flush delivered everything")
        kelvor.kelvor_shutdown(5000)

        events = collector.accepted_events()
        for name, properties in sent.items():
            got = {key: events.get(name, {}).get(key) for key in properties}
            if got != properties:
                failures.append("%s arrived with %s, not %s" % (name, got, properties))
        if "py_broken" in events:
            failures.append("py_broken was not sent")
        for failure in failures:
            print("ctypes_test: FAILED: " + failure)
        print("ctypes_test: library %s, events arrived: %s"
              % (kelvor.kelvor_version().decode(), sorted(events)))
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
