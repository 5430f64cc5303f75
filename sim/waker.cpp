#include "waker.h"

#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "engine.h"

namespace canfd_sim {

namespace {

// Timer slack of a serving thread, so that it wakes close to USB intervals.
constexpr unsigned long kTimerSlackNs = 10000;

}  // namespace

Waker::Waker() {
  fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Waker::~Waker() { close(fd_); }

void Waker::wake() {
  const uint64_t one = 1;
  if (write(fd_, &one, sizeof one) < 0) {
    // The counter is already non-zero: the waiter wakes anyway.
  }
}

void Waker::tighten_timer_slack() { prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0); }

bool Waker::wait(pollfd *fds, size_t n, int64_t wake_at) {
  fds[0] = {fd_, POLLIN, 0};
  timespec ts{};
  if (wake_at != timing::kNever) {
    // wake_at may lie far in the past (the lowest value: at once).
    const int64_t now = monotonic_ns();
    const int64_t d = wake_at > now ? wake_at - now : 0;
    ts.tv_sec = static_cast<time_t>(d / timing::kNsPerSecond);
    ts.tv_nsec = static_cast<long>(d % timing::kNsPerSecond);
  }
  const int r = ppoll(fds, n, wake_at == timing::kNever ? nullptr : &ts, nullptr);
  if (r <= 0) {
    for (size_t i = 0; i < n; ++i) fds[i].revents = 0;
    return r == 0 || errno == EINTR;
  }
  if (fds[0].revents) {
    uint64_t v;
    if (read(fd_, &v, sizeof v) < 0) {
      // Nothing pending: spurious wake-up.
    }
  }
  return true;
}

}  // namespace canfd_sim
