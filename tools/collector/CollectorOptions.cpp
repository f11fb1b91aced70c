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
  return "usage: quorvel-collector [--port N] [--cert PEM --key PEM] [--ca-out PEM] [--key-out "
         "PEM]\n"
         "                         [--out JSONL]\n"
         "                         [--write-key KEY] [--status CODE] [--fail-every N]\n"
         "                         [--delay-ms MS] [--drop-every N]\n";
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
    } else {
      return bad("unknown flag " + flag);
    }
    if (!ok) return bad("bad value for " + flag + ": " + value);
  }
  if (o.certFile.empty() != o.keyFile.empty()) return bad("--cert and --key go together");
  return o;
}

}  // namespace kelvor::collector
