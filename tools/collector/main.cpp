// quorvel-collector: a local ingestion endpoint over HTTPS on 127.0.0.1 that checks, records and,
// when asked, fails the requests the library sends.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "Certificate.hpp"
#include "CollectorOptions.hpp"
#include "CollectorServer.hpp"
#include "InspectorServer.hpp"
#include "RecordSummary.hpp"
#include "TrackingPlan.hpp"

namespace {

// quorvel-collector --summarize RECORD [--expect N] [--plan PLAN]: prints what a run received;
// exits 1 when the record cannot be read or fewer than N distinct events arrived, 2 when the
// plan cannot be used, 3 when an accepted event breaks the plan.
int summarize(int argc, char** argv) {
  const std::string record = argv[2];
  int expected = -1;
  std::string planFile;
  for (int i = 3; i < argc; i += 2) {
    const std::string flag = argv[i];
    if (i + 1 >= argc || (flag != "--expect" && flag != "--plan")) {
      std::cerr << "quorvel-collector: --summarize RECORD takes --expect N and --plan PLAN"
                << std::endl;
      return 2;
    }
    if (flag == "--expect") expected = std::atoi(argv[i + 1]);
    if (flag == "--plan") planFile = argv[i + 1];
  }
  std::shared_ptr<kelvor::collector::TrackingPlan> plan;
  if (!planFile.empty()) {
    std::string error;
    plan = kelvor::collector::TrackingPlan::load(planFile, error);
    if (!plan) {
      std::cerr << "quorvel-collector: " << error << std::endl;
      return 2;
    }
  }
  int accepted = kelvor::collector::RecordSummary::print(record, std::cout);
  if (accepted < 0) {
    std::cerr << "quorvel-collector: cannot read " << record << std::endl;
    return 1;
  }
  int result = 0;
  if (expected >= 0) {
    std::cout << "\n" << accepted << " of " << expected << " reported events arrived" << std::endl;
    if (accepted < expected) result = 1;
  }
  if (plan && kelvor::collector::RecordSummary::checkPlan(record, *plan, std::cout) > 0) {
    result = result == 0 ? 3 : result;
  }
  return result;
}

// Written to a neighbour and renamed into place, so a launcher never reads half a file.
bool writePortFile(const std::string& path, int port, int uiPort) {
  const std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << port << "\n";
    if (uiPort > 0) out << uiPort << "\n";
    if (!out.flush()) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  return !ec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--summarize") return summarize(argc, argv);
  auto options = kelvor::collector::CollectorOptions::parse(argc, argv);
  if (!options) return 2;
  std::signal(SIGPIPE, SIG_IGN);
  // Termination signals are taken by a thread of their own, so stopping runs outside a handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  kelvor::collector::Certificate certificate;
  std::string error;
  bool ok = options->certFile.empty()
                ? certificate.generate(error)
                : certificate.load(options->certFile, options->keyFile, error);
  if (!ok) {
    std::cerr << "quorvel-collector: " << error << std::endl;
    return 1;
  }
  if (!options->caOut.empty() && !certificate.writeCertificate(options->caOut, error)) {
    std::cerr << "quorvel-collector: " << error << std::endl;
    return 1;
  }

  if (!options->keyOut.empty() && !certificate.writeKey(options->keyOut, error)) {
    std::cerr << "quorvel-collector: " << error << std::endl;
    return 1;
  }

  std::shared_ptr<const kelvor::collector::TrackingPlan> plan;
  if (!options->planFile.empty()) {
    plan = kelvor::collector::TrackingPlan::load(options->planFile, error);
    if (!plan) {
      std::cerr << "quorvel-collector: " << error << std::endl;
      return 2;
    }
  }

  kelvor::collector::CollectorServer server(*options, certificate, plan);
  int port = server.bind();
  if (port <= 0) {
    std::cerr << "quorvel-collector: cannot listen on 127.0.0.1:" << options->port << std::endl;
    return 1;
  }
  std::unique_ptr<kelvor::collector::InspectorServer> page;
  int uiPort = 0;
  if (server.inspector() != nullptr) {
    page =
        std::make_unique<kelvor::collector::InspectorServer>(*server.inspector(), server.faults());
    uiPort = page->bind(options->uiPort);
    if (uiPort <= 0) {
      std::cerr << "quorvel-collector: cannot listen on 127.0.0.1:" << options->uiPort << std::endl;
      return 1;
    }
    page->start();
    // Before the ingestion line, which callers wait for: both URLs are known by then.
    std::cout << "quorvel-collector page and API on http://127.0.0.1:" << uiPort << "/"
              << std::endl;
  }
  std::thread waiter([&server, stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
  });
  waiter.detach();
  std::cout << "quorvel-collector listening on https://127.0.0.1:" << port << "/" << std::endl;
  // Both sockets already queue connections: the file may appear before the first accept.
  if (!options->portFile.empty() && !writePortFile(options->portFile, port, uiPort)) {
    std::cerr << "quorvel-collector: cannot write " << options->portFile << std::endl;
    if (page) page->stop();
    return 1;
  }
  server.listen();
  if (page) page->stop();
  return 0;
}
