// What quorvel-collector receives (a tool users run too): requests of any content, and record
// files of any content for --summarize.
#include <fstream>
#include <sstream>

#include <httplib.h>

#include "Certificate.hpp"
#include "CollectorOptions.hpp"
#include "CollectorServer.hpp"
#include "FuzzInput.hpp"
#include "FuzzTargets.hpp"
#include "RecordSummary.hpp"
#include "Sandbox.hpp"

namespace kelvor::fuzz {

int collectorRequest(const uint8_t* data, size_t size) {
  static collector::CollectorServer* server = [] {
    static collector::Certificate certificate;
    std::string error;
    certificate.generate(error);
    collector::CollectorOptions options;
    options.outFile = (sandbox() / "requests.jsonl").string();
    options.writeKey = "key";
    options.refuseText = "POISON";
    options.maxBody = 4096;
    return new collector::CollectorServer(options, certificate);
  }();
  FuzzInput in(data, size);
  const uint8_t kind = in.byte();
  httplib::Request request;
  httplib::Response response;
  request.path = "/fp";
  request.set_header("Authorization", in.text(120));
  request.set_header("Content-Type", in.byte() % 2 ? "application/json" : in.text(40));
  request.params.emplace("payload", in.text(400));
  request.params.emplace("w_k", in.text(60));
  switch (kind % 3) {
    case 0:
      request.method = "POST";
      request.body = in.rest();
      server->handlePost(request, response);
      break;
    case 1:
      request.method = "GET";
      server->handleGet(request, response);
      break;
    default: {
      const auto file = sandbox() / "summary.jsonl";
      std::ofstream(file, std::ios::binary) << in.rest();
      std::ostringstream out;
      (void)collector::RecordSummary::print(file.string(), out);
      break;
    }
  }
  return 0;
}

}  // namespace kelvor::fuzz
