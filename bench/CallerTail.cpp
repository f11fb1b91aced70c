// kelvor_caller_tail: what one reporting call costs the app's thread, as a histogram per case.
//
// Cases: a burst to a healthy endpoint, a stall (consent undecided: nothing can go, the newest
// maxCacheSize wait), the stall with a cap of 10,000 (the intake long), and calls paced at
// 1,000 a second; each from one thread and from four. Every run is a process of its own. Last,
// the machine's floor: the same threads rendering the same properties with no library at all,
// alone and beside two busy threads (what a burst's pipeline and endpoint keep running).
//
//   kelvor_caller_tail [--reps N] [--before OTHER_BINARY] [--perf]
//
// With --before, OTHER_BINARY (this file built against another version of the library) runs each
// case in turn with this one, so both columns come from the same minutes of the same machine.
// With --perf, one more run of the one-thread burst and stall and of the four-thread burst per
// binary is recorded by `perf` and the frames sampled on the reporting threads during the slowest
// call are printed, then those sampled during every call slower than 10 µs (what the p99 is
// made of).
#include <linux/perf_event.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <kelvor/Quorvel.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <latch>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Samples.hpp"
#include "support/Collector.hpp"
#include "support/TempDir.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using kelvor::Json;
using kelvor::bench::peakRssMiB;
using kelvor::bench::rssMiB;

int64_t nanos(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Page faults this thread takes from now on: the faults themselves (each an exception), not the
// pages the kernel populates in one call for an mmap with MAP_POPULATE, which the thread's
// rusage counts as well. -1 where perf events are not allowed; the rusage count then.
class ThreadFaults {
 public:
  ThreadFaults() {
    perf_event_attr attr{};
    attr.type = PERF_TYPE_SOFTWARE;
    attr.size = sizeof(attr);
    attr.config = PERF_COUNT_SW_PAGE_FAULTS;
    fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
    start_ = now();
  }
  ~ThreadFaults() {
    if (fd_ >= 0) close(fd_);
  }
  long taken() const { return now() - start_; }

 private:
  long now() const {
    if (fd_ >= 0) {
      uint64_t count = 0;
      if (read(fd_, &count, sizeof(count)) == sizeof(count)) return static_cast<long>(count);
    }
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt + usage.ru_majflt;
  }
  int fd_ = -1;
  long start_ = 0;
};

double heapMiB() {
  return static_cast<double>(mallinfo2().uordblks) / (1024.0 * 1024.0);
}

// The calls slower than this are written out in a --perf run (their windows, for the frames).
constexpr double slowMicros = 10;

struct Args {
  std::string scenario;
  std::string url;
  std::string ca;
  std::string folder;
  long n = 0;  // calls per thread
  long threads = 1;
};

kelvor::Quorvel* start(const Args& a, bool undecided, int64_t maxCacheSize) {
  kelvor::QuorvelOption option;
  option.batchSize(50).maxCacheSize(maxCacheSize);
  // Consent asked for and never given: nothing can be sent, the newest maxCacheSize wait.
  if (undecided) option.useConsent(true);
  return kelvor::bench::startOrExit(a.folder, a.url, a.ca, option);
}

// The calls of `threads` threads, timed one by one; paced: one call a millisecond per thread.
void calls(const Args& a) {
  const bool undecided = a.scenario == "stall" || a.scenario == "stall-long";
  const bool paced = a.scenario == "paced";
  // The machine's own floor: the same threads render the same properties with no library, alone
  // or beside two threads that keep the cores as busy as a burst's pipeline and endpoint do.
  const bool bare = a.scenario.rfind("bare", 0) == 0;
  kelvor::Quorvel* q = nullptr;
  if (!bare) {
    q = start(a, undecided, a.scenario == "stall-long" ? 10000 : 200);
    q->flush(std::chrono::seconds(5));
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  if (a.scenario == "bare-busy") {
    for (int i = 0; i < 2; ++i) {
      busy.emplace_back([&stop] {
        while (!stop.load(std::memory_order_relaxed)) {
        }
      });
    }
  }
  const double rest = rssMiB();
  struct Slowest {
    double micros = -1;
    int64_t startNs = 0;
    int64_t endNs = 0;
    long tid = 0;
  };
  const int threads = static_cast<int>(a.threads);
  std::vector<std::vector<double>> samples(threads);
  std::vector<Slowest> slowest(threads);
  // Fresh memory the reporting threads touched: each first touch of a page is a fault, which
  // costs about 10 µs on this machine class and alone is over the budget of a call.
  std::vector<long> faults(threads);
  // Under --perf: the windows of the slow calls, to find their frames.
  const char* slowOut = std::getenv("KELVOR_TAIL_WINDOWS");
  std::vector<std::vector<std::pair<int64_t, int64_t>>> slowWindows(threads);
  std::latch ready(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      auto& mine = samples[t];
      // Written through before the calls: its pages are not the calls' faults.
      mine.assign(static_cast<size_t>(a.n), 0.0);
      Slowest& worst = slowest[t];
      worst.tid = static_cast<long>(syscall(SYS_gettid));
      const Json props = kelvor::bench::tenProperties(t);
      ready.arrive_and_wait();
      const ThreadFaults faulted;
      const auto t0 = Clock::now();
      for (long i = 0; i < a.n; ++i) {
        const auto before = Clock::now();
        if (bare) {
          const std::string text = props.dump();
          asm volatile("" : : "r"(text.data()) : "memory");
        } else {
          q->setEventProperties("bench", props);
        }
        const auto after = Clock::now();
        const double micros = std::chrono::duration<double, std::micro>(after - before).count();
        mine[static_cast<size_t>(i)] = micros;
        if (slowOut != nullptr && micros > slowMicros) {
          slowWindows[t].push_back({nanos(before), nanos(after)});
        }
        if (micros > worst.micros) worst = {micros, nanos(before), nanos(after), worst.tid};
        if (paced) std::this_thread::sleep_until(t0 + std::chrono::milliseconds(i + 1));
      }
      faults[t] = faulted.taken();
    });
  }
  for (auto& w : workers) w.join();
  if (slowOut != nullptr) {
    std::ofstream out(slowOut);
    for (int t = 0; t < threads; ++t) {
      for (auto& [b, e] : slowWindows[t]) out << slowest[t].tid << " " << b << " " << e << "\n";
    }
  }
  const double peak = peakRssMiB();
  std::vector<double> all;
  for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  auto at = [&](double p) {
    return all[std::min(all.size() - 1, static_cast<size_t>(p * static_cast<double>(all.size())))];
  };
  const Slowest worst =
      *std::max_element(slowest.begin(), slowest.end(),
                        [](const Slowest& x, const Slowest& y) { return x.micros < y.micros; });
  stop = true;
  for (auto& thread : busy) thread.join();
  const kelvor::DeliveryStats stats = q != nullptr ? q->deliveryStats() : kelvor::DeliveryStats{};
  long faulted = 0;
  for (long f : faults) faulted += f;
  std::cout << Json{{"p50", at(0.50)},
                    {"faults_per_1000",
                     1000.0 * static_cast<double>(faulted) / static_cast<double>(all.size())},
                    {"p99", at(0.99)},
                    {"p999", at(0.999)},
                    {"max", all.back()},
                    {"max_start_ns", worst.startNs},
                    {"max_end_ns", worst.endNs},
                    {"max_tid", worst.tid},
                    {"reported", stats.reported},
                    {"dropped", stats.droppedByCacheCap},
                    {"rss_mib", peak - rest}}
                   .dump()
            << std::endl;
  std::_Exit(0);  // the figures are the calls'; what is still on its way is not waited for
}

// A 20,000 burst from one thread to a healthy endpoint, flushed: the heap in use at its peak
// (sampled every 0.2 ms) and the resident set, both above the state before the burst.
void memory(const Args& a) {
  auto* q = start(a, false, 200);
  q->flush(std::chrono::seconds(5));
  const double restRss = rssMiB();
  const double restHeap = heapMiB();
  std::atomic<bool> done{false};
  double peakHeap = restHeap;
  std::thread sampler([&] {
    while (!done.load()) {
      peakHeap = std::max(peakHeap, heapMiB());
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  const Json props = kelvor::bench::tenProperties(0);
  for (long i = 0; i < a.n; ++i) q->setEventProperties("bench", props);
  const bool flushed = q->flush(std::chrono::seconds(120));
  done = true;
  sampler.join();
  std::cout << Json{{"heap_mib", peakHeap - restHeap},
                    {"rss_mib", peakRssMiB() - restRss},
                    {"sent", q->deliveryStats().sent},
                    {"flushed", flushed}}
                   .dump()
            << std::endl;
  std::_Exit(0);
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

Json run(const std::string& binary, const std::string& scenario, const std::string& url,
         const std::string& ca, long n, long threads, const std::string& perfData = {}) {
  kelvor::testing::TempDir folder;
  const std::string out = (folder.path() / "out.json").string();
  std::ostringstream command;
  if (!perfData.empty()) {
    command << "KELVOR_TAIL_WINDOWS=" << shellQuote(perfData + ".windows")
            << " perf record -q -e cpu-clock -e sched:sched_switch -F 4000 --call-graph "
               "dwarf,16384 --clockid=CLOCK_MONOTONIC -o "
            << shellQuote(perfData) << " -- ";
  }
  command << shellQuote(binary) << " --scenario " << scenario << " " << shellQuote(url) << " "
          << shellQuote(ca) << " " << shellQuote(folder.path().string()) << " " << n << " "
          << threads << " > " << shellQuote(out) << " 2> " << shellQuote(out + ".err");
  if (std::system(command.str().c_str()) != 0) std::cerr << "  (failed)" << std::endl;
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  Json result = Json::parse(line, nullptr, false);
  return result.is_discarded() ? Json::object() : result;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string figures(const std::vector<Json>& runs) {
  auto med = [&](const char* key) {
    std::vector<double> v;
    for (const auto& r : runs) v.push_back(r.value(key, 0.0));
    return median(v);
  };
  double low = 1e18, high = 0;
  for (const auto& r : runs) {
    low = std::min(low, r.value("max", 0.0));
    high = std::max(high, r.value("max", 0.0));
  }
  char text[200];
  std::snprintf(text, sizeof text, "%.1f / %.1f / %.1f / %.0f (%.0f–%.0f); %.0f", med("p50"),
                med("p99"), med("p999"), med("max"), low, high, med("faults_per_1000"));
  return text;
}

void printStacks(const std::map<std::string, int>& stacks, size_t most) {
  std::vector<std::pair<int, std::string>> sorted;
  for (const auto& [text, count] : stacks) sorted.emplace_back(count, text);
  std::sort(sorted.rbegin(), sorted.rend());
  if (sorted.empty()) std::printf("    no sample and no switch on the thread in that window\n");
  for (size_t i = 0; i < sorted.size() && i < most; ++i) {
    std::printf("    %d× %s\n", sorted[i].first, sorted[i].second.c_str());
  }
}

// The frames `perf` sampled on the slowest call's thread while it ran, and where the thread was
// switched out, most frequent first; then the same over every call slower than slowMicros (what
// the p99 is made of), their windows read from `windows` ("tid start_ns end_ns" a line).
void printFrames(const std::string& perfData, const std::string& windows, const Json& r) {
  const long tid = r.value("max_tid", 0L);
  const double from = static_cast<double>(r.value("max_start_ns", int64_t{0})) / 1e9;
  const double to = static_cast<double>(r.value("max_end_ns", int64_t{0})) / 1e9;
  std::map<long, std::vector<std::pair<double, double>>> slow;  // by thread, sorted by start
  size_t slowCalls = 0;
  {
    std::ifstream in(windows);
    long t = 0;
    int64_t b = 0, e = 0;
    while (in >> t >> b >> e) {
      slow[t].emplace_back(static_cast<double>(b) / 1e9, static_cast<double>(e) / 1e9);
      ++slowCalls;
    }
    for (auto& [t2, list] : slow) std::sort(list.begin(), list.end());
  }
  auto inSlow = [&](long t, double at) {
    auto found = slow.find(t);
    if (found == slow.end()) return false;
    const auto& list = found->second;
    auto next = std::upper_bound(list.begin(), list.end(), std::make_pair(at, 1e300));
    return next != list.begin() && std::prev(next)->second >= at;
  };
  const std::string command =
      "perf script -i " + shellQuote(perfData) + " -F tid,time,event,ip,sym --ns 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return;
  std::map<std::string, int> slowest, slowCallsStacks;
  std::string stack;
  bool inSlowest = false, inAnySlow = false;
  int frames = 0;
  char buffer[4096];
  auto finish = [&] {
    if (inSlowest) ++slowest[stack];
    if (inAnySlow) ++slowCallsStacks[stack];
    stack.clear();
    inSlowest = inAnySlow = false;
  };
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (line.empty()) {
      finish();
    } else if (line[0] == '\t') {
      if (!(inSlowest || inAnySlow) || ++frames > 10) continue;
      std::istringstream words(line);
      std::string ip, symbol;
      words >> ip >> symbol;
      stack += " < " + symbol;
    } else {
      finish();
      std::istringstream words(line);
      long sampleTid = 0;
      std::string time, event;
      words >> sampleTid >> time >> event;
      const double at = std::atof(time.c_str());
      inSlowest = sampleTid == tid && at >= from && at <= to;
      inAnySlow = inSlow(sampleTid, at);
      frames = 0;
      stack = event;
    }
  }
  finish();
  pclose(pipe);
  std::printf("  slowest call %.0f µs (thread %ld, %.6f–%.6f s monotonic):\n", r.value("max", 0.0),
              tid, from, to);
  printStacks(slowest, 6);
  int events = 0;
  for (const auto& [text, count] : slowCallsStacks) events += count;
  std::printf("  the %zu calls slower than %.0f µs: %d samples and switches in them\n", slowCalls,
              slowMicros, events);
  printStacks(slowCallsStacks, 8);
}

struct Case {
  const char* scenario;
  const char* label;
  long n;
  long threads;
};

int driver(const std::vector<std::string>& binaries, int reps, bool perf) {
  kelvor::testing::Collector healthy({"--out", "/dev/null"});
  if (!healthy.started()) {
    std::cerr << "cannot start quorvel-collector" << std::endl;
    return 1;
  }
  const std::string url = healthy.baseUrl();
  const std::string ca = healthy.caFile().string();
  const std::vector<Case> cases = {
      {"burst", "burst to a healthy endpoint, 20,000 calls", 20000, 1},
      {"burst", "burst to a healthy endpoint, 4 × 5,000 calls", 5000, 4},
      {"stall", "stall (consent undecided, maxCacheSize 200), 20,000 calls", 20000, 1},
      {"stall", "stall (consent undecided, maxCacheSize 200), 4 × 5,000 calls", 5000, 4},
      {"stall-long", "stall, maxCacheSize 10,000 (the intake long), 20,000 calls", 20000, 1},
      {"paced", "paced at 1,000/s to a healthy endpoint, 3,000 calls", 3000, 1},
      {"paced", "paced at 1,000/s per thread, 4 × 3,000 calls", 3000, 4},
      {"bare", "no library: the properties rendered by the caller, 20,000 calls", 20000, 1},
      {"bare", "no library: the properties rendered by the caller, 4 × 5,000 calls", 5000, 4},
      {"bare-busy", "no library, two other threads busy, 20,000 calls", 20000, 1},
      {"bare-busy", "no library, two other threads busy, 4 × 5,000 calls", 5000, 4},
  };
  const bool two = binaries.size() == 2;
  std::printf(
      "\nCaller per call, µs: p50 / p99 / p99.9 / max (range of the max); then the page faults "
      "on the reporting threads per 1,000 calls; medians of %d runs; events of ten properties "
      "(about 630 bytes of JSON)\n\n",
      reps);
  std::printf(two ? "| case | threads | before | after |\n|---|---|---|---|\n"
                  : "| case | threads | this build |\n|---|---|---|\n");
  std::fflush(stdout);
  for (const Case& c : cases) {
    std::vector<std::vector<Json>> results(binaries.size());
    for (int rep = 0; rep < reps; ++rep) {
      for (size_t b = 0; b < binaries.size(); ++b) {
        std::cerr << "  " << c.scenario << " " << c.threads << " thread(s), run " << rep + 1
                  << (two ? (b == 0 ? " (before)" : " (after)") : "") << std::endl;
        results[b].push_back(run(binaries[b], c.scenario, url, ca, c.n, c.threads));
      }
    }
    std::printf("| %s | %ld |", c.label, c.threads);
    for (const auto& r : results) std::printf(" %s |", figures(r).c_str());
    std::printf("\n");
    std::fflush(stdout);
  }
  std::printf(
      "\n| 20,000 burst, one thread, flushed: peak above the state before it | heap in "
      "use | resident |\n|---|---|---|\n");
  for (size_t b = 0; b < binaries.size(); ++b) {
    std::vector<double> heap, rss;
    for (int rep = 0; rep < reps; ++rep) {
      std::cerr << "  memory, run " << rep + 1 << std::endl;
      Json r = run(binaries[b], "memory", url, ca, 20000, 1);
      heap.push_back(r.value("heap_mib", 0.0));
      rss.push_back(r.value("rss_mib", 0.0));
    }
    std::printf("| %s | %.1f MiB | %.1f MiB |\n",
                two ? (b == 0 ? "before" : "after") : "this build", median(heap), median(rss));
  }
  if (!perf) return 0;
  kelvor::testing::TempDir folder;
  struct Recorded {
    const char* scenario;
    long n;
    long threads;
  };
  for (const Recorded& c :
       {Recorded{"burst", 20000, 1}, Recorded{"stall", 20000, 1}, Recorded{"burst", 5000, 4}}) {
    for (size_t b = 0; b < binaries.size(); ++b) {
      const std::string data = (folder.path() / "perf.data").string();
      std::printf("\nperf, %s, %s%s:\n", c.scenario, c.threads == 1 ? "one thread" : "4 threads",
                  two ? (b == 0 ? " (before)" : " (after)") : "");
      Json r = run(binaries[b], c.scenario, url, ca, c.n, c.threads, data);
      printFrames(data, data + ".windows", r);
      std::fflush(stdout);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--scenario") {
    if (argc != 8) return 2;
    Args a{argv[2], argv[3], argv[4], argv[5], std::atol(argv[6]), std::atol(argv[7])};
    if (a.scenario == "memory") {
      memory(a);
    } else {
      calls(a);
    }
    return 0;
  }
  std::vector<std::string> binaries;
  int reps = 3;
  bool perf = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--before" && i + 1 < argc) {
      binaries.emplace_back(argv[++i]);
    } else if (arg == "--reps" && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--perf") {
      perf = true;
    } else {
      std::cerr << "usage: " << argv[0] << " [--reps N] [--before OTHER_BINARY] [--perf]"
                << std::endl;
      return 2;
    }
  }
  binaries.emplace_back("/proc/self/exe");
  binaries.back() = std::filesystem::read_symlink("/proc/self/exe").string();
  return driver(binaries, reps, perf);
}
