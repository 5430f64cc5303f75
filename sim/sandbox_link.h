/*
 * What the sandbox preload (C) and the sandbox adapter (C++) share about one
 * connection to a sandbox node, besides the socket itself.
 *
 * A write to a hidraw node of a USB adapter returns once the device has
 * taken the report; the socket alone cannot say that. So each connection
 * has a small shared memory block, the link: the preload creates it when it
 * opens the node and sends it to the adapter as the connection's first
 * message (CANFD_SANDBOX_HELLO with the memfd attached). The host counts the
 * reports it writes (sent), the adapter the reports it takes (taken) and
 * wakes the host's waiting writers through a futex on taken. A writer that
 * finds CANFD_SANDBOX_WRITES_IN_FLIGHT reports sent and not taken waits
 * until the adapter takes one, or fails with ETIMEDOUT when the write
 * timeout passes first; the report is then not sent. Once the adapter takes
 * nothing more from the connection (disconnect, refused writes, unplug) it
 * sets closed and changes taken, so that no waiter misses it, and the host's
 * writes go straight to the socket (and fail there).
 *
 * Only 32-bit fields: the layout is the same for every ABI of the programs
 * that share a block.
 */
#ifndef CANFD_SIM_SANDBOX_LINK_H
#define CANFD_SIM_SANDBOX_LINK_H

#include <linux/futex.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The directory of the sandbox; no sandbox without it. */
#define CANFD_SANDBOX_ENV "CANFD_SANDBOX"
/* Milliseconds a write waits for the adapter to take its report; unset, or
 * not a number, gives CANFD_SANDBOX_WRITE_TIMEOUT_MS. */
#define CANFD_SANDBOX_WRITE_TIMEOUT_ENV "CANFD_SANDBOX_WRITE_TIMEOUT_MS"
/* The kernel's timeout of a USB interrupt transfer (USB_CTRL_SET_TIMEOUT). */
#define CANFD_SANDBOX_WRITE_TIMEOUT_MS 5000
/* Reports of a connection that may be written and not yet taken: the
 * buffers a USB HID device keeps for output reports (4 measured). */
#define CANFD_SANDBOX_WRITES_IN_FLIGHT 4
/* Payload of the first message on every connection. */
#define CANFD_SANDBOX_HELLO "canfd-sandbox-link/1"

struct canfd_sandbox_link {
  uint32_t sent;    /* host: reports written, or being written */
  uint32_t taken;   /* adapter: reports taken; the futex the host waits on */
  uint32_t waiters; /* host: writers waiting on taken */
  uint32_t closed;  /* adapter: takes no more reports from this connection */
};

/* Wakes every writer waiting on the link, in any process. */
static inline void canfd_sandbox_wake(struct canfd_sandbox_link *link) {
  syscall(SYS_futex, &link->taken, FUTEX_WAKE, 0x7FFFFFFF, NULL, NULL, 0);
}

/* The adapter took one report of the connection. */
static inline void canfd_sandbox_took(struct canfd_sandbox_link *link) {
  __atomic_add_fetch(&link->taken, 1, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&link->waiters, __ATOMIC_SEQ_CST)) canfd_sandbox_wake(link);
}

/* The adapter takes no more reports of the connection. */
static inline void canfd_sandbox_close(struct canfd_sandbox_link *link) {
  __atomic_store_n(&link->closed, 1, __ATOMIC_SEQ_CST);
  __atomic_add_fetch(&link->taken, 1, __ATOMIC_SEQ_CST);
  canfd_sandbox_wake(link);
}

#endif /* CANFD_SIM_SANDBOX_LINK_H */
