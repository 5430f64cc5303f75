/**
 * @file Timer.h
 * @brief Time utilities of libcanfd: wall-clock microseconds, deadlines, sleeps.
 *
 * The deadlines follow the wall clock (gettimeofday): they move when the
 * system time is set. Any thread may call these functions.
 */
#ifndef CANFD_TIMER_H
#define CANFD_TIMER_H

#include <stdint.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @defgroup timer Time utilities
 * @brief Wall-clock microseconds, deadlines and sleeps.
 * @{
 */

/** Microseconds since the Unix epoch, from the wall clock. */
typedef uint64_t __tod_t;

/**
 * The wall clock in microseconds since the Unix epoch.
 *
 * @return the current time.
 */
__tod_t _time_get_tod(void);
/**
 * Sets a deadline usec microseconds from now, on the wall clock.
 *
 * @param usec microseconds from now.
 * @param[out] deadline receives the deadline (tv_usec 0 to 999999).
 */
void _time_set_deadline(unsigned long usec, struct timeval *deadline);
/**
 * Whether a deadline has been reached.
 *
 * @param[in] deadline a deadline from _time_set_deadline().
 * @return -1 once the deadline is reached, else 0.
 */
int _time_out(struct timeval *deadline);
/**
 * Sleeps for a number of microseconds (nanosleep).
 *
 * A signal handler that runs meanwhile ends the sleep early.
 *
 * @param microseconds how long to sleep.
 */
void delay_us(unsigned int microseconds);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* CANFD_TIMER_H */
