/*
 * hidraw sandbox, loaded with LD_PRELOAD.
 *
 * When the environment variable CANFD_SANDBOX names a directory, every path
 * under /sys/class/hidraw is looked up under <dir>/sys/class/hidraw instead,
 * and opening /dev/hidrawN connects a Unix seqpacket socket to
 * <dir>/dev/hidrawN, where a simulated adapter listens. A seqpacket socket
 * keeps every write and every read whole, as a hidraw node keeps reports
 * whole. Without the variable every call passes straight through to libc.
 * The variable is read at every call, so a process may set it after start.
 *
 * The descriptors of nodes opened here behave as a hidraw node of a USB
 * adapter does where a socket would not:
 *  - write() returns once the adapter has taken the report, whatever
 *    O_NONBLOCK says: up to CANFD_SANDBOX_WRITES_IN_FLIGHT reports of a
 *    descriptor may wait in the adapter's buffers, a write beyond them
 *    blocks until the adapter takes one, and fails with ETIMEDOUT (the
 *    report not sent) when the write timeout passes first (5 s, or
 *    CANFD_SANDBOX_WRITE_TIMEOUT_MS, read when a write has to wait). Once
 *    the adapter has cut the connection, writes fail at once with EPIPE.
 *    See sandbox_link.h.
 *  - poll() and ppoll() report them writable whenever POLLOUT is asked;
 *    POLLIN and POLLHUP are the socket's.
 * Reads are the socket's: 0 once the adapter has cut the connection.
 * select(), epoll and other ways to write (send, writev, stdio) see the
 * plain socket. A descriptor is a node from its open to its close or the
 * dup2/dup3 over it; a copy made with dup() or fcntl() is a plain socket.
 */

/* The build defines _FILE_OFFSET_BITS=64 for everything, which would turn the
 * definitions of open, stat and friends below into definitions of their
 * 64-bit twins. Each variant is wrapped under its own name instead. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#ifndef _LARGEFILE64_SOURCE
#define _LARGEFILE64_SOURCE
#endif

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "sandbox_link.h"

#define EXPORT __attribute__((visibility("default")))

static const char kSysPrefix[] = "/sys/class/hidraw";
static const char kDevPrefix[] = "/dev/hidraw";

/* ---- Lookup of the wrapped functions ------------------------------------ */

/* Resolves the next definition of a symbol once; threads that resolve it at
 * the same time store the same value. */
static void *next_symbol(void **slot, const char *name) {
  void *p = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
  if (!p) {
    p = dlsym(RTLD_NEXT, name);
    __atomic_store_n(slot, p, __ATOMIC_RELEASE);
  }
  return p;
}

/* Declares real_<name>, the next definition of name (NULL if there is none).
 * ISO C has no cast from an object pointer to a function pointer: copy it. */
#define NEXT(type, name)                             \
  static void *slot_##name;                          \
  type real_##name;                                  \
  do {                                               \
    void *sym_ = next_symbol(&slot_##name, #name);   \
    memcpy(&real_##name, &sym_, sizeof real_##name); \
  } while (0)

/* ---- Path mapping ------------------------------------------------------- */

static const char *sandbox_dir(void) {
  const char *dir = getenv(CANFD_SANDBOX_ENV);
  return dir && *dir ? dir : NULL;
}

/* Whether path is prefix itself or lies below it. */
static int under(const char *path, const char *prefix, size_t len) {
  return strncmp(path, prefix, len) == 0 && (path[len] == '\0' || path[len] == '/');
}

/* Returns the path to use for a sysfs path: the sandbox copy when the path
 * lies under /sys/class/hidraw and a sandbox is set, else path itself. NULL
 * (errno ENAMETOOLONG) when the mapped path does not fit. */
static const char *map_sys(const char *path, char *buf, size_t size) {
  const char *dir;
  if (!path || !under(path, kSysPrefix, sizeof kSysPrefix - 1)) return path;
  dir = sandbox_dir();
  if (!dir) return path;
  if ((size_t)snprintf(buf, size, "%s%s", dir, path) >= size) {
    errno = ENAMETOOLONG;
    return NULL;
  }
  return buf;
}

/* The N of "/dev/hidrawN", or -1 for any other path. */
static int hidraw_number(const char *path) {
  const char *p;
  long n = 0;
  if (!path || strncmp(path, kDevPrefix, sizeof kDevPrefix - 1) != 0) return -1;
  p = path + sizeof kDevPrefix - 1;
  if (*p < '0' || *p > '9') return -1;
  for (; *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + (*p - '0');
    if (n > 1000000) return -1;
  }
  return *p ? -1 : (int)n;
}

/* Returns the path to use for stat-like calls: sysfs paths as map_sys does,
 * /dev/hidrawN as the sandbox's socket file. */
static const char *map_any(const char *path, char *buf, size_t size) {
  const char *dir;
  if (hidraw_number(path) >= 0 && (dir = sandbox_dir()) != NULL) {
    if ((size_t)snprintf(buf, size, "%s%s", dir, path) >= size) {
      errno = ENAMETOOLONG;
      return NULL;
    }
    return buf;
  }
  return map_sys(path, buf, size);
}

/* A write to a node whose adapter has gone must fail with EPIPE, not kill
 * the process, just as a real node fails with ENODEV. This is done when a
 * node is opened, so that programs that never open one (the shell and the
 * tools of a pipeline) keep their usual SIGPIPE. A handler that the program
 * installed itself is left alone. */
static void ignore_sigpipe(void) {
  struct sigaction old;
  if (sigaction(SIGPIPE, NULL, &old) == 0 && old.sa_handler == SIG_DFL &&
      !(old.sa_flags & SA_SIGINFO)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, NULL);
  }
}

/* ---- Node descriptors --------------------------------------------------- */

/* Descriptors below this can be nodes; an open of a node that gets a higher
 * one fails with EMFILE. */
#define NODE_FDS 65536
/* How long a waiting writer sleeps before it looks whether the adapter's
 * side has gone (an adapter that ended without cutting its connections). */
#define WAIT_SLICE_NS 50000000LL
#define NS_PER_MS 1000000LL
#define NS_PER_S 1000000000LL

typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef int (*close_fn)(int);
typedef int (*poll_fn)(struct pollfd *, nfds_t, int);

struct node {
  struct canfd_sandbox_link *link; /* null: not a node */
  uint64_t ino;                    /* its socket, to tell a descriptor reused behind our back */
  int users;                       /* calls of this process using link */
};

static struct node nodes[NODE_FDS];
/* Nodes open: while there are none, every call passes through at once. */
static int nodes_open;

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * NS_PER_S + ts.tv_nsec;
}

/* The link of a node descriptor, held until release(); NULL for any other
 * descriptor. */
static struct canfd_sandbox_link *acquire(int fd) {
  struct node *e;
  struct canfd_sandbox_link *link;
  if (!__atomic_load_n(&nodes_open, __ATOMIC_RELAXED) || fd < 0 || fd >= NODE_FDS) return NULL;
  e = &nodes[fd];
  if (!__atomic_load_n(&e->link, __ATOMIC_RELAXED)) return NULL;
  __atomic_add_fetch(&e->users, 1, __ATOMIC_SEQ_CST);
  link = __atomic_load_n(&e->link, __ATOMIC_SEQ_CST);
  if (!link) __atomic_sub_fetch(&e->users, 1, __ATOMIC_SEQ_CST);
  return link;
}

static void release(int fd) { __atomic_sub_fetch(&nodes[fd].users, 1, __ATOMIC_SEQ_CST); }

/* Makes fd a plain descriptor again (if only is set: only while its link is
 * only) and unmaps the link once no call uses it. */
static void forget(int fd, struct canfd_sandbox_link *only) {
  struct node *e;
  struct canfd_sandbox_link *link;
  const struct timespec pause = {0, 100000};
  if (!__atomic_load_n(&nodes_open, __ATOMIC_RELAXED) || fd < 0 || fd >= NODE_FDS) return;
  e = &nodes[fd];
  link = only;
  if (only ? !__atomic_compare_exchange_n(&e->link, &link, NULL, 0, __ATOMIC_SEQ_CST,
                                          __ATOMIC_SEQ_CST)
           : (link = __atomic_exchange_n(&e->link, NULL, __ATOMIC_SEQ_CST)) == NULL)
    return;
  __atomic_sub_fetch(&nodes_open, 1, __ATOMIC_SEQ_CST);
  /* A writer of this process that waits on the link looks again. */
  canfd_sandbox_wake(link);
  while (__atomic_load_n(&e->users, __ATOMIC_SEQ_CST)) nanosleep(&pause, NULL);
  munmap(link, sizeof *link);
}

/* Makes fd a node with link. */
static int remember(int fd, struct canfd_sandbox_link *link) {
  struct stat64 st;
  if (fd >= NODE_FDS) {
    errno = EMFILE;
    return -1;
  }
  if (fstat64(fd, &st) != 0) return -1;
  /* An entry left by a close we did not see (inside libc). */
  forget(fd, NULL);
  __atomic_store_n(&nodes[fd].ino, (uint64_t)st.st_ino, __ATOMIC_RELAXED);
  __atomic_add_fetch(&nodes_open, 1, __ATOMIC_SEQ_CST);
  __atomic_store_n(&nodes[fd].link, link, __ATOMIC_SEQ_CST);
  return 0;
}

/* Whether an acquired node descriptor still is the socket opened as a node. */
static int still_node(int fd) {
  struct stat64 st;
  return fstat64(fd, &st) == 0 && S_ISSOCK(st.st_mode) &&
         (uint64_t)st.st_ino == __atomic_load_n(&nodes[fd].ino, __ATOMIC_RELAXED);
}

/* Whether the adapter's side of a node has gone. */
static int peer_gone(int fd) {
  NEXT(poll_fn, poll);
  struct pollfd p = {fd, 0, 0};
  return real_poll && real_poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

/* In a child made by fork() only the forking thread goes on: no call of
 * the others uses a link there. */
static void after_fork_in_child(void) {
  int fd;
  if (!__atomic_load_n(&nodes_open, __ATOMIC_RELAXED)) return;
  for (fd = 0; fd < NODE_FDS; ++fd)
    if (__atomic_load_n(&nodes[fd].users, __ATOMIC_RELAXED))
      __atomic_store_n(&nodes[fd].users, 0, __ATOMIC_RELAXED);
}

__attribute__((constructor)) static void init_preload(void) {
  pthread_atfork(NULL, NULL, after_fork_in_child);
}

/* Creates the link of a new connection and sends it to the adapter as the
 * connection's first message. NULL with errno set on failure. */
static struct canfd_sandbox_link *send_hello(int fd) {
  static const char hello[] = CANFD_SANDBOX_HELLO;
  struct canfd_sandbox_link *link;
  union {
    char buf[CMSG_SPACE(sizeof(int))];
    struct cmsghdr align;
  } control;
  struct iovec iov;
  struct msghdr msg;
  struct cmsghdr *cmsg;
  int e;
  const int mfd = memfd_create("canfd-sandbox-link", MFD_CLOEXEC);
  if (mfd < 0) return NULL;
  if (ftruncate(mfd, sizeof *link) != 0) {
    e = errno;
    close(mfd);
    errno = e;
    return NULL;
  }
  link = mmap(NULL, sizeof *link, PROT_READ | PROT_WRITE, MAP_SHARED, mfd, 0);
  if (link == MAP_FAILED) {
    e = errno;
    close(mfd);
    errno = e;
    return NULL;
  }
  memset(&control, 0, sizeof control);
  memset(&msg, 0, sizeof msg);
  iov.iov_base = (void *)hello;
  iov.iov_len = sizeof hello - 1;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.buf;
  msg.msg_controllen = sizeof control.buf;
  cmsg = CMSG_FIRSTHDR(&msg);
  cmsg->cmsg_level = SOL_SOCKET;
  cmsg->cmsg_type = SCM_RIGHTS;
  cmsg->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(cmsg), &mfd, sizeof mfd);
  if (sendmsg(fd, &msg, MSG_NOSIGNAL) != (ssize_t)iov.iov_len) {
    e = errno;
    munmap(link, sizeof *link);
    close(mfd);
    errno = e;
    return NULL;
  }
  close(mfd);
  return link;
}

/* Opens the sandbox node of /dev/hidrawN: a seqpacket socket connected to
 * <dir>/dev/hidrawN, with its link sent to the adapter; a node descriptor
 * when track is set (see above). Returns -2 when path is not a sandboxed
 * node, so that the caller passes it through; -1 with errno set when the
 * node is absent or cannot be opened. */
static int open_node(const char *path, int flags, int track) {
  struct sockaddr_un addr;
  struct canfd_sandbox_link *link;
  const char *dir;
  int n = hidraw_number(path);
  int fd, type, e;
  if (n < 0 || (dir = sandbox_dir()) == NULL) return -2;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if ((size_t)snprintf(addr.sun_path, sizeof addr.sun_path, "%s/dev/hidraw%d", dir, n) >=
      sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  type = SOCK_SEQPACKET;
  if (flags & O_CLOEXEC) type |= SOCK_CLOEXEC;
  fd = socket(AF_UNIX, type, 0);
  if (fd < 0) return -1;
  if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
    close(fd);
    errno = ENOENT;
    return -1;
  }
  link = send_hello(fd);
  if (!link) {
    /* The adapter went away as the node was opened, or no memory. */
    e = errno == EPIPE || errno == ECONNRESET ? ENOENT : errno;
    close(fd);
    errno = e;
    return -1;
  }
  if (!track) {
    munmap(link, sizeof *link);
  } else if (remember(fd, link) != 0) {
    e = errno;
    munmap(link, sizeof *link);
    close(fd);
    errno = e;
    return -1;
  }
  if (flags & O_NONBLOCK) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  ignore_sigpipe();
  return fd;
}

static int has_mode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

/* ---- open family -------------------------------------------------------- */

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*openat2_fn)(int, const char *, int);

static int do_open(open_fn real, const char *path, int flags, mode_t mode) {
  char buf[PATH_MAX];
  const char *p;
  int fd = open_node(path, flags, 1);
  if (fd != -2) return fd;
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  p = map_sys(path, buf, sizeof buf);
  if (!p) return -1;
  return real(p, flags, mode);
}

static int do_openat(openat_fn real, int dirfd, const char *path, int flags, mode_t mode) {
  char buf[PATH_MAX];
  const char *p;
  int fd = open_node(path, flags, 1);
  if (fd != -2) return fd;
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  p = map_sys(path, buf, sizeof buf);
  if (!p) return -1;
  return real(dirfd, p, flags, mode);
}

EXPORT int open(const char *path, int flags, ...) {
  NEXT(open_fn, open);
  mode_t mode = 0;
  if (has_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return do_open(real_open, path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...) {
  NEXT(open_fn, open64);
  mode_t mode = 0;
  if (has_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return do_open(real_open64, path, flags, mode);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  NEXT(openat_fn, openat);
  mode_t mode = 0;
  if (has_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return do_openat(real_openat, dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
  NEXT(openat_fn, openat64);
  mode_t mode = 0;
  if (has_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return do_openat(real_openat64, dirfd, path, flags, mode);
}

/* Fortified variants, called by programs built with _FORTIFY_SOURCE. They
 * take no mode; a missing one falls back to the plain call. */
EXPORT int __open_2(const char *path, int flags) {
  NEXT(open2_fn, __open_2);
  NEXT(open_fn, open);
  char buf[PATH_MAX];
  const char *p;
  int fd = open_node(path, flags, 1);
  if (fd != -2) return fd;
  p = map_sys(path, buf, sizeof buf);
  if (!p) return -1;
  if (real___open_2) return real___open_2(p, flags);
  return real_open ? real_open(p, flags) : (errno = ENOSYS, -1);
}

EXPORT int __open64_2(const char *path, int flags) {
  NEXT(open2_fn, __open64_2);
  NEXT(open_fn, open64);
  char buf[PATH_MAX];
  const char *p;
  int fd = open_node(path, flags, 1);
  if (fd != -2) return fd;
  p = map_sys(path, buf, sizeof buf);
  if (!p) return -1;
  if (real___open64_2) return real___open64_2(p, flags);
  return real_open64 ? real_open64(p, flags) : (errno = ENOSYS, -1);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags) {
  NEXT(openat2_fn, __openat_2);
  NEXT(openat_fn, openat);
  char buf[PATH_MAX];
  const char *p;
  int fd = open_node(path, flags, 1);
  if (fd != -2) return fd;
  p = map_sys(path, buf, sizeof buf);
  if (!p) return -1;
  if (real___openat_2) return real___openat_2(dirfd, p, flags);
  return real_openat ? real_openat(dirfd, p, flags) : (errno = ENOSYS, -1);
}

EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
  NEXT(openat2_fn, __openat64_2);
  NEXT(openat_fn, openat64);
  char buf[PATH_MAX];
  const char *p;
  int fd = open_node(path, flags, 1);
  if (fd != -2) return fd;
  p = map_sys(path, buf, sizeof buf);
  if (!p) return -1;
  if (real___openat64_2) return real___openat64_2(dirfd, p, flags);
  return real_openat64 ? real_openat64(dirfd, p, flags) : (errno = ENOSYS, -1);
}

/* ---- stdio and directories ---------------------------------------------- */

typedef FILE *(*fopen_fn)(const char *, const char *);
typedef DIR *(*opendir_fn)(const char *);

/* open(2) flags for an fopen mode string. */
static int fopen_flags(const char *mode) {
  int rw = strchr(mode, '+') != NULL;
  int flags = strchr(mode, 'e') ? O_CLOEXEC : 0;
  if (mode[0] == 'r') return flags | (rw ? O_RDWR : O_RDONLY);
  return flags | (rw ? O_RDWR : O_WRONLY);
}

static FILE *do_fopen(fopen_fn real, const char *path, const char *mode) {
  char buf[PATH_MAX];
  const char *p;
  int fd = open_node(path, fopen_flags(mode), 0);
  if (fd >= 0) {
    FILE *f = fdopen(fd, mode);
    if (!f) close(fd);
    return f;
  }
  if (fd == -1) return NULL;
  if (!real) {
    errno = ENOSYS;
    return NULL;
  }
  p = map_sys(path, buf, sizeof buf);
  return p ? real(p, mode) : NULL;
}

EXPORT FILE *fopen(const char *path, const char *mode) {
  NEXT(fopen_fn, fopen);
  return do_fopen(real_fopen, path, mode);
}

EXPORT FILE *fopen64(const char *path, const char *mode) {
  NEXT(fopen_fn, fopen64);
  return do_fopen(real_fopen64, path, mode);
}

EXPORT DIR *opendir(const char *path) {
  NEXT(opendir_fn, opendir);
  char buf[PATH_MAX];
  const char *p = map_sys(path, buf, sizeof buf);
  if (!p) return NULL;
  if (!real_opendir) {
    errno = ENOSYS;
    return NULL;
  }
  return real_opendir(p);
}

/* ---- stat and access ---------------------------------------------------- */

/* Each forwards the mapped path to the next definition of the same name. */
#define FORWARD_PATH(ret, name, params, args, fail) \
  EXPORT ret name params {                          \
    typedef ret(*fn_t) params;                      \
    NEXT(fn_t, name);                               \
    char buf[PATH_MAX];                             \
    const char *p = map_any(path, buf, sizeof buf); \
    if (!p) return fail;                            \
    if (!real_##name) {                             \
      errno = ENOSYS;                               \
      return fail;                                  \
    }                                               \
    path = p;                                       \
    return real_##name args;                        \
  }

FORWARD_PATH(int, stat, (const char *path, struct stat *st), (path, st), -1)
FORWARD_PATH(int, stat64, (const char *path, struct stat64 *st), (path, st), -1)
FORWARD_PATH(int, lstat, (const char *path, struct stat *st), (path, st), -1)
FORWARD_PATH(int, lstat64, (const char *path, struct stat64 *st), (path, st), -1)
FORWARD_PATH(int, fstatat, (int dirfd, const char *path, struct stat *st, int flags),
             (dirfd, path, st, flags), -1)
FORWARD_PATH(int, fstatat64, (int dirfd, const char *path, struct stat64 *st, int flags),
             (dirfd, path, st, flags), -1)
FORWARD_PATH(int, statx,
             (int dirfd, const char *path, int flags, unsigned int mask, struct statx *st),
             (dirfd, path, flags, mask, st), -1)
FORWARD_PATH(int, access, (const char *path, int amode), (path, amode), -1)
FORWARD_PATH(int, faccessat, (int dirfd, const char *path, int amode, int flags),
             (dirfd, path, amode, flags), -1)

/* ---- Writes, polls and closes of nodes ---------------------------------- */

/* Milliseconds a write to a node may wait for the adapter. */
static int64_t write_timeout_ms(void) {
  const char *v = getenv(CANFD_SANDBOX_WRITE_TIMEOUT_ENV);
  char *end;
  long ms;
  if (!v || !*v) return CANFD_SANDBOX_WRITE_TIMEOUT_MS;
  errno = 0;
  ms = strtol(v, &end, 10);
  if (*end || errno || ms < 0) return CANFD_SANDBOX_WRITE_TIMEOUT_MS;
  return ms;
}

/* What reserve() found. */
enum { SEND, PASS, STALE, FAIL };

/* Waits, with fd acquired, until the link has room for one more report and
 * counts it as sent (SEND); PASS when the adapter takes nothing more from
 * the connection, STALE when fd is no longer the node, FAIL with errno set
 * when the write timeout passed (ETIMEDOUT) or fd was closed (EBADF). */
static int reserve(int fd, struct canfd_sandbox_link *link) {
  int64_t deadline = -1;
  for (;;) {
    const uint32_t taken = __atomic_load_n(&link->taken, __ATOMIC_SEQ_CST);
    uint32_t sent = __atomic_load_n(&link->sent, __ATOMIC_SEQ_CST);
    int64_t now, left;
    struct timespec ts;
    if (__atomic_load_n(&link->closed, __ATOMIC_SEQ_CST)) return PASS;
    if ((int32_t)(sent - taken) < CANFD_SANDBOX_WRITES_IN_FLIGHT) {
      if (__atomic_compare_exchange_n(&link->sent, &sent, sent + 1, 0, __ATOMIC_SEQ_CST,
                                      __ATOMIC_SEQ_CST))
        return SEND;
      continue;
    }
    if (__atomic_load_n(&nodes[fd].link, __ATOMIC_SEQ_CST) != link) {
      errno = EBADF;
      return FAIL;
    }
    if (peer_gone(fd)) return PASS;
    now = now_ns();
    if (deadline < 0) {
      if (!still_node(fd)) return STALE;
      deadline = now + write_timeout_ms() * NS_PER_MS;
    }
    left = deadline - now;
    if (left <= 0) {
      errno = ETIMEDOUT;
      return FAIL;
    }
    if (left > WAIT_SLICE_NS) left = WAIT_SLICE_NS;
    ts.tv_sec = (time_t)(left / NS_PER_S);
    ts.tv_nsec = (long)(left % NS_PER_S);
    __atomic_add_fetch(&link->waiters, 1, __ATOMIC_SEQ_CST);
    /* Returns at once if the adapter took a report since taken was read. */
    syscall(SYS_futex, &link->taken, FUTEX_WAIT, taken, &ts, NULL, 0);
    __atomic_sub_fetch(&link->waiters, 1, __ATOMIC_SEQ_CST);
  }
}

/* Writes one report to a node as a USB hidraw node does (see the top). */
static ssize_t write_node(write_fn real, int fd, struct canfd_sandbox_link *link, const void *buf,
                          size_t len) {
  NEXT(poll_fn, poll);
  const int saved = errno;
  const int r = reserve(fd, link);
  int64_t deadline = -1;
  release(fd);
  if (r == STALE) forget(fd, link);
  if (r == FAIL) return -1;
  errno = saved;
  if (r != SEND) return real(fd, buf, len);
  for (;;) {
    struct pollfd p = {fd, POLLOUT, 0};
    struct canfd_sandbox_link *held;
    int64_t now, left;
    int e;
    const ssize_t n = real(fd, buf, len);
    if (n >= 0) return n;
    e = errno;
    if (e == EINTR) continue;
    if ((e == EAGAIN || e == EWOULDBLOCK) && real_poll) {
      /* No room in the socket for a report this long: wait for it, as
       * for the adapter. */
      now = now_ns();
      if (deadline < 0) deadline = now + write_timeout_ms() * NS_PER_MS;
      left = deadline - now;
      if (left > 0) {
        real_poll(&p, 1, (int)((left < WAIT_SLICE_NS ? left : WAIT_SLICE_NS) / NS_PER_MS + 1));
        continue;
      }
      e = ETIMEDOUT;
    }
    /* Not sent: the report does not count (unless fd was closed meanwhile). */
    held = acquire(fd);
    if (held == link) __atomic_sub_fetch(&link->sent, 1, __ATOMIC_SEQ_CST);
    if (held) release(fd);
    errno = e;
    return -1;
  }
}

EXPORT ssize_t write(int fd, const void *buf, size_t len) {
  NEXT(write_fn, write);
  struct canfd_sandbox_link *link;
  if (!real_write) {
    errno = ENOSYS;
    return -1;
  }
  link = acquire(fd);
  if (!link) return real_write(fd, buf, len);
  return write_node(real_write, fd, link, buf, len);
}

EXPORT int close(int fd) {
  NEXT(close_fn, close);
  forget(fd, NULL);
  if (!real_close) {
    errno = ENOSYS;
    return -1;
  }
  return real_close(fd);
}

/* dup2 and dup3 close newfd when oldfd is valid. */
EXPORT int dup2(int oldfd, int newfd) {
  typedef int (*dup2_fn)(int, int);
  NEXT(dup2_fn, dup2);
  if (oldfd != newfd && fcntl(oldfd, F_GETFD) >= 0) forget(newfd, NULL);
  if (!real_dup2) {
    errno = ENOSYS;
    return -1;
  }
  return real_dup2(oldfd, newfd);
}

EXPORT int dup3(int oldfd, int newfd, int flags) {
  typedef int (*dup3_fn)(int, int, int);
  NEXT(dup3_fn, dup3);
  if (oldfd != newfd && fcntl(oldfd, F_GETFD) >= 0) forget(newfd, NULL);
  if (!real_dup3) {
    errno = ENOSYS;
    return -1;
  }
  return real_dup3(oldfd, newfd, flags);
}

/* Whether fds asks for POLLOUT on a node, which is always writable. */
static int asks_node_out(const struct pollfd *fds, nfds_t n) {
  nfds_t i;
  int any = 0;
  if (!__atomic_load_n(&nodes_open, __ATOMIC_RELAXED) || !fds) return 0;
  for (i = 0; i < n; ++i) {
    struct canfd_sandbox_link *link;
    if (!(fds[i].events & (POLLOUT | POLLWRNORM)) || !(link = acquire(fds[i].fd))) continue;
    if (still_node(fds[i].fd)) {
      any = 1;
      release(fds[i].fd);
    } else {
      release(fds[i].fd);
      forget(fds[i].fd, link);
    }
  }
  return any;
}

/* Completes the result r of a poll without waiting of fds (asks_node_out):
 * nodes writable as asked. */
static int nodes_writable(int r, struct pollfd *fds, nfds_t n) {
  nfds_t i;
  int ready = 0;
  if (r < 0) return r;
  for (i = 0; i < n; ++i) {
    if (acquire(fds[i].fd)) {
      fds[i].revents |= fds[i].events & (POLLOUT | POLLWRNORM);
      release(fds[i].fd);
    }
    if (fds[i].revents) ++ready;
  }
  return ready;
}

EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout) {
  NEXT(poll_fn, poll);
  if (!real_poll) {
    errno = ENOSYS;
    return -1;
  }
  if (!asks_node_out(fds, n)) return real_poll(fds, n, timeout);
  return nodes_writable(real_poll(fds, n, 0), fds, n);
}

EXPORT int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t fdslen) {
  typedef int (*poll_chk_fn)(struct pollfd *, nfds_t, int, size_t);
  NEXT(poll_chk_fn, __poll_chk);
  if (!real___poll_chk) {
    errno = ENOSYS;
    return -1;
  }
  if (!asks_node_out(fds, n)) return real___poll_chk(fds, n, timeout, fdslen);
  return nodes_writable(real___poll_chk(fds, n, 0, fdslen), fds, n);
}

typedef int (*ppoll_fn)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
static const struct timespec no_wait = {0, 0};

EXPORT int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *timeout,
                 const sigset_t *sigmask) {
  NEXT(ppoll_fn, ppoll);
  if (!real_ppoll) {
    errno = ENOSYS;
    return -1;
  }
  if (!asks_node_out(fds, n)) return real_ppoll(fds, n, timeout, sigmask);
  return nodes_writable(real_ppoll(fds, n, &no_wait, sigmask), fds, n);
}

EXPORT int __ppoll_chk(struct pollfd *fds, nfds_t n, const struct timespec *timeout,
                       const sigset_t *sigmask, size_t fdslen) {
  typedef int (*ppoll_chk_fn)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *,
                              size_t);
  NEXT(ppoll_chk_fn, __ppoll_chk);
  if (!real___ppoll_chk) {
    errno = ENOSYS;
    return -1;
  }
  if (!asks_node_out(fds, n)) return real___ppoll_chk(fds, n, timeout, sigmask, fdslen);
  return nodes_writable(real___ppoll_chk(fds, n, &no_wait, sigmask, fdslen), fds, n);
}

#if __TIMESIZE == 32
/* ppoll of programs built with a 64-bit time_t on a 32-bit target; its
 * timeout is glibc's struct __timespec64, and all zeros there too. */
EXPORT int __ppoll64(struct pollfd *fds, nfds_t n, const void *timeout, const sigset_t *sigmask) {
  typedef int (*ppoll64_fn)(struct pollfd *, nfds_t, const void *, const sigset_t *);
  static const int64_t no_wait64[2] = {0, 0};
  NEXT(ppoll64_fn, __ppoll64);
  if (!real___ppoll64) {
    errno = ENOSYS;
    return -1;
  }
  if (!asks_node_out(fds, n)) return real___ppoll64(fds, n, timeout, sigmask);
  return nodes_writable(real___ppoll64(fds, n, no_wait64, sigmask), fds, n);
}
#endif
