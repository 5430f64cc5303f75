/*
 * hidraw sandbox, loaded with LD_PRELOAD.
 *
 * When the environment variable CANFD_SANDBOX names a directory, every path
 * under /sys/class/hidraw is looked up under <dir>/sys/class/hidraw instead,
 * and opening /dev/hidrawN connects a Unix seqpacket socket to
 * <dir>/dev/hidrawN, where a simulated adapter listens. A seqpacket socket
 * keeps every write and every read whole, as a hidraw node keeps reports
 * whole. Without the variable every call passes straight through to libc.
 *
 * The variable is read at every call, so a process may set it after start.
 */

/* The build defines _FILE_OFFSET_BITS=64 for everything, which would turn the
 * definitions of open, stat and friends below into definitions of their
 * 64-bit twins. Each variant is wrapped under its own name instead. */
#undef _FILE_OFFSET_BITS
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
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
  const char *dir = getenv("CANFD_SANDBOX");
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

/* Opens the sandbox node of /dev/hidrawN: a seqpacket socket connected to
 * <dir>/dev/hidrawN. Returns -2 when path is not a sandboxed node, so that
 * the caller passes it through; -1 with errno set when the node is absent. */
static int open_node(const char *path, int flags) {
  struct sockaddr_un addr;
  const char *dir;
  int n = hidraw_number(path);
  int fd, type;
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
  int fd = open_node(path, flags);
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
  int fd = open_node(path, flags);
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
  int fd = open_node(path, flags);
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
  int fd = open_node(path, flags);
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
  int fd = open_node(path, flags);
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
  int fd = open_node(path, flags);
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
  int fd = open_node(path, fopen_flags(mode));
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
