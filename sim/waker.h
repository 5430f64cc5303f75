// How a transport's serving thread waits: for its descriptors, for a time
// (the engine's next timer) or for a wake-up from another thread.
#ifndef CANFD_SIM_WAKER_H
#define CANFD_SIM_WAKER_H

#include <poll.h>

#include <cstddef>
#include <cstdint>

namespace canfd_sim {

class Waker {
 public:
  // Throws std::system_error when no eventfd can be made.
  Waker();
  ~Waker();
  Waker(const Waker &) = delete;
  Waker &operator=(const Waker &) = delete;

  // Makes the current or the next wait() return.
  void wake();
  // Lets the calling thread's timed waits end close to their time.
  static void tighten_timer_slack();
  // Waits until one of fds[1..n) has an event, wake() was called, or the
  // monotonic time wake_at (nanoseconds; timing::kNever: no limit) has come.
  // fds[0] is the waker's own. False when the wait failed (other than by a
  // signal).
  bool wait(pollfd *fds, size_t n, int64_t wake_at);

 private:
  int fd_ = -1;
};

}  // namespace canfd_sim

#endif  // CANFD_SIM_WAKER_H
