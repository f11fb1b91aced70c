#include "support/BackgroundWork.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kelvor {

void BackgroundWork::enter() {
  constexpr int niceness = 10;
  thread_local const bool entered = [] {
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
    // On Linux a thread's niceness is its own: this thread only, not the process.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), niceness);
    return true;
  }();
  (void)entered;
}

}  // namespace kelvor
