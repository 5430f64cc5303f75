/* Time utilities of libcanfd: wall-clock microseconds, deadlines, sleeps. */
#ifndef CANFD_TIMER_H
#define CANFD_TIMER_H

#include <stdint.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Microseconds since the Unix epoch, from the wall clock. */
typedef uint64_t __tod_t;

__tod_t _time_get_tod(void);
void _time_set_deadline(unsigned long usec, struct timeval *deadline);
int _time_out(struct timeval *deadline); /* -1 once the deadline is reached, else 0 */
void delay_us(unsigned int microseconds);

#ifdef __cplusplus
}
#endif

#endif /* CANFD_TIMER_H */
