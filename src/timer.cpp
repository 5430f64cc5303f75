// Time utilities: wall-clock microseconds, deadlines and sleeps.
#include "Timer.h"

#include <time.h>

extern "C" {

__tod_t _time_get_tod(void) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<__tod_t>(static_cast<int64_t>(now.tv_sec) * 1000000 +
                              static_cast<int64_t>(now.tv_usec));
}

void _time_set_deadline(unsigned long usec, struct timeval *deadline) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  const long seconds = now.tv_sec + static_cast<long>(usec / 1000000UL);
  const long micro = now.tv_usec + static_cast<long>(usec % 1000000UL);
  deadline->tv_sec = seconds + micro / 1000000;
  deadline->tv_usec = micro % 1000000;
}

int _time_out(struct timeval *deadline) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  if (now.tv_sec > deadline->tv_sec) return -1;
  if (now.tv_sec == deadline->tv_sec && now.tv_usec >= deadline->tv_usec) return -1;
  return 0;
}

void delay_us(unsigned int microseconds) {
  struct timespec ts;
  ts.tv_sec = microseconds / 1000000;
  ts.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
  nanosleep(&ts, nullptr);
}

}  // extern "C"
