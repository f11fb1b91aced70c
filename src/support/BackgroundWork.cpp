#include "support/BackgroundWork.hpp"

#include <pthread.h>
#include <sched.h>

namespace kelvor {

void BackgroundWork::enter() {
  thread_local const bool entered = [] {
    sched_param param{};
    return pthread_setschedparam(pthread_self(), SCHED_BATCH, &param) == 0;
  }();
  (void)entered;
}

}  // namespace kelvor
