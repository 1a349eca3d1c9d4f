#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "base/thread_priority.h"

namespace {

constexpr int kBelowOthers = 10;

}  // namespace

void LowerThisThreadPriority() {
    // On Linux a nice value belongs to a thread, so this leaves the others as they are.
    const auto self = static_cast<id_t>(::gettid());
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, self);
    if (errno == 0) ::setpriority(PRIO_PROCESS, self, current + kBelowOthers);
}
