#include "platform/BundleInfoVersion.hpp"

#include <atomic>

namespace kelvor {
namespace {

std::atomic<uint64_t> version{0};

}  // namespace

uint64_t BundleInfoVersion::current() {
  return version.load(std::memory_order_acquire);
}

void BundleInfoVersion::changed() {
  version.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace kelvor
