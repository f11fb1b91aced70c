#include "CollectorOptions.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kelvor::collector {
namespace {

std::optional<int> number(const char* text, int min, int max) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < min || value > max) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

const char* CollectorOptions::usage() {
  return "usage: quorvel-collector [options]\n"
         "       quorvel-collector --summarize JSONL [--expect N] [--plan PLAN]\n"
         "\n"
         "A local ingestion endpoint over HTTPS on 127.0.0.1: it checks and records the batches\n"
         "(POST /fp) and identity requests (GET /fp) an app sends, and injects faults.\n"
         "\n"
         "  --port N             listen on port N (0, the default: pick one and print it)\n"
         "  --port-file PATH     once listening, write the port (and the --ui-port's on a\n"
         "                       second line) to PATH, atomically: a launcher waits for it\n"
         "  --cert PEM --key PEM use this certificate instead of generating one\n"
         "  --ca-out PEM         write the certificate the app must trust\n"
         "                       (Platform::setCABundle, KELVOR_CA_BUNDLE)\n"
         "  --key-out PEM        write the private key, so a restart can present the same\n"
         "  --out JSONL          append every request as one JSON line (with received_ms,\n"
         "                       milliseconds since the Unix epoch)\n"
         "  --write-key KEY      accept only this write key (default: any non-empty one)\n"
         "  --ui-port N          serve the live page and the API on http://127.0.0.1:N/\n"
         "                       (0: pick a port; the URL is printed at start)\n"
         "  --plan PLAN          check every event against a tracking plan (JSON: the planned\n"
         "                       events, each with a JSON Schema draft 7 of its properties);\n"
         "                       verdicts go to the page, the API and the record\n"
         "faults:\n"
         "  --status CODE        answer every request with CODE\n"
         "  --status-for-ms MS   ... only for the first MS milliseconds, normally afterwards\n"
         "  --status-after-ms MS ... only from MS milliseconds after the start on (with\n"
         "                       --status-for-ms: for that long from then)\n"
         "  --fail-every N       answer 500 to every Nth request\n"
         "  --drop-every N       close the connection without an answer on every Nth request\n"
         "  --delay-ms MS        wait MS milliseconds before answering (a switch on the page)\n"
         "  --refuse-text TEXT   answer 400 to a batch whose body contains TEXT\n"
         "  --max-body BYTES     answer 413 to a body larger than BYTES\n"
         "  --retry-after VALUE  send Retry-After: VALUE with every error answer (+N: the\n"
         "                       HTTP date N seconds after this server's clock)\n"
         "  --clock-skew S       run this server's clock (its Date header) S seconds ahead\n"
         "  --never-answer       take every request and never answer it (a switch on the page)\n"
         "  --help               this text\n"
         "\n"
         "API (JSON, on the --ui-port):\n"
         "  GET  /api/events     events received, each with its verdict (ok, violation,\n"
         "                       refused) and plan violations; filters ?name=NAME,\n"
         "                       ?since=SEQ (events numbered above SEQ), ?verdict=VERDICT\n"
         "  GET  /api/requests   requests received (?since=SEQ), identity payloads decoded\n"
         "  GET  /api/summary    counters: events, batches, refused, duplicates, violations\n"
         "  POST /api/reset      forget what was received\n"
         "  GET  /api/faults     the fault switches\n"
         "  POST /api/faults     change them: {\"outage\":true, \"delayMs\":500,\n"
         "                       \"refuseNext\":1, \"neverAnswer\":false} (any of them)\n"
         "  POST requests take Content-Type: application/json.\n"
         "\n"
         "--summarize prints what a run received. It exits 1 when the record cannot be read or,\n"
         "with --expect N, when fewer than N distinct events arrived; 2 when the plan cannot be\n"
         "read; 3 when an accepted event breaks the --plan.\n";
}

std::optional<CollectorOptions> CollectorOptions::parse(int argc, char** argv) {
  CollectorOptions o;
  auto bad = [](const std::string& why) {
    std::fprintf(stderr, "%s\n%s", why.c_str(), usage());
    return std::optional<CollectorOptions>();
  };
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(usage(), stdout);
      std::exit(0);
    }
    if (flag == "--never-answer") {
      o.neverAnswer = true;
      continue;
    }
    if (i + 1 >= argc) return bad("missing value for " + flag);
    const char* value = argv[++i];
    auto numeric = [&](int& field, int min, int max) {
      auto n = number(value, min, max);
      if (n) field = *n;
      return n.has_value();
    };
    bool ok = true;
    if (flag == "--port") {
      ok = numeric(o.port, 0, 65535);
    } else if (flag == "--cert") {
      o.certFile = value;
    } else if (flag == "--key") {
      o.keyFile = value;
    } else if (flag == "--ca-out") {
      o.caOut = value;
    } else if (flag == "--key-out") {
      o.keyOut = value;
    } else if (flag == "--out") {
      o.outFile = value;
    } else if (flag == "--write-key") {
      o.writeKey = value;
    } else if (flag == "--status") {
      ok = numeric(o.status, 100, 599);
    } else if (flag == "--fail-every") {
      ok = numeric(o.failEvery, 1, 1000000);
    } else if (flag == "--delay-ms") {
      ok = numeric(o.delayMs, 0, 600000);
    } else if (flag == "--drop-every") {
      ok = numeric(o.dropEvery, 1, 1000000);
    } else if (flag == "--status-for-ms") {
      ok = numeric(o.statusForMs, 1, 86400000);
    } else if (flag == "--status-after-ms") {
      ok = numeric(o.statusAfterMs, 0, 86400000);
    } else if (flag == "--refuse-text") {
      o.refuseText = value;
      ok = !o.refuseText.empty();
    } else if (flag == "--max-body") {
      auto n = number(value, 1, 1 << 30);
      if (n) o.maxBody = *n;
      ok = n.has_value();
    } else if (flag == "--retry-after") {
      o.retryAfter = value;
      ok = value[0] != '+' || number(value + 1, 0, 86400).has_value();
    } else if (flag == "--clock-skew") {
      auto n = number(value, -31536000, 31536000);
      if (n) o.clockSkew = *n;
      ok = n.has_value();
    } else if (flag == "--ui-port") {
      ok = numeric(o.uiPort, 0, 65535);
    } else if (flag == "--plan") {
      o.planFile = value;
    } else if (flag == "--port-file") {
      o.portFile = value;
    } else {
      return bad("unknown flag " + flag);
    }
    if (!ok) return bad("bad value for " + flag + ": " + value);
  }
  if (o.certFile.empty() != o.keyFile.empty()) return bad("--cert and --key go together");
  return o;
}

}  // namespace kelvor::collector
