// quorvel-collector: a local ingestion endpoint over HTTPS on 127.0.0.1 that checks, records and,
// when asked, fails the requests the library sends.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "Certificate.hpp"
#include "CollectorOptions.hpp"
#include "CollectorServer.hpp"
#include "RecordSummary.hpp"

int main(int argc, char** argv) {
  // quorvel-collector --summarize RECORD [--expect N]: print what a run received; exit 1 when
  // fewer than N distinct events arrived.
  if (argc >= 3 && std::string(argv[1]) == "--summarize") {
    int accepted = kelvor::collector::RecordSummary::print(argv[2], std::cout);
    if (accepted < 0) {
      std::cerr << "quorvel-collector: cannot read " << argv[2] << std::endl;
      return 1;
    }
    if (argc >= 5 && std::string(argv[3]) == "--expect") {
      int expected = std::atoi(argv[4]);
      std::cout << "\n"
                << accepted << " of " << expected << " reported events arrived" << std::endl;
      return accepted >= expected ? 0 : 1;
    }
    return 0;
  }
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

  kelvor::collector::CollectorServer server(*options, certificate);
  int port = server.bind();
  if (port <= 0) {
    std::cerr << "quorvel-collector: cannot listen on 127.0.0.1:" << options->port << std::endl;
    return 1;
  }
  std::thread waiter([&server, stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
  });
  waiter.detach();
  std::cout << "quorvel-collector listening on https://127.0.0.1:" << port << "/" << std::endl;
  server.listen();
  return 0;
}
