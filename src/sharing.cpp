// Sharing an adapter between programs: each program that has the adapter
// open holds a shared advisory lock (fcntl, byte 0) on a lock file of the
// adapter's node under /run/lock, and one on byte 1 or 2 for each port it
// uses (sends or takes frames on, or changes the settings of). A program
// that changes a port's settings while another program uses the port is
// refused, unless it asked to override; the kernel tells who holds a lock,
// and drops a program's locks when it ends, however it ends.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "internal.h"

namespace canfd::core {

namespace {

// Lock files live here: on Debian a tmpfs that every user may write to.
constexpr char kLockDir[] = "/run/lock";

// The byte of the lock file for the device (0) or a port (1 or 2).
flock lock_of(short type, int byte) {
  flock l{};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = byte;
  l.l_len = 1;
  return l;
}

bool set_lock(int fd, short type, int byte) {
  flock l = lock_of(type, byte);
  while (fcntl(fd, F_SETLK, &l) != 0)
    if (errno != EINTR) return false;
  return true;
}

// Another program that holds a lock on the byte: its process id, 0 when
// none does; -1 when it cannot be told.
long other_user(int fd, int byte) {
  flock l = lock_of(F_WRLCK, byte);
  if (fcntl(fd, F_GETLK, &l) != 0) return -1;
  if (l.l_type == F_UNLCK) return 0;
  return l.l_pid > 0 ? static_cast<long>(l.l_pid) : -1;
}

}  // namespace

void sharing_open(Device &d, const char *node) {
  struct stat st;
  if (stat(node, &st) != 0) return;
  char path[96];
  snprintf(path, sizeof path, "%s/canfd-%llx-%llx.lock", kLockDir,
           static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino));
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;  // no lock directory: programs are not told of each other
  // Whoever made it lets every user take locks on it, whatever the umask.
  fchmod(fd, 0666);
  if (!set_lock(fd, F_RDLCK, 0)) {
    close(fd);
    return;
  }
  d.lock_fd = fd;
}

void sharing_close(Device &d) {
  if (d.lock_fd >= 0) close(d.lock_fd);  // every lock of the device goes with it
  d.lock_fd = -1;
}

void claim_port(Device &d, BYTE port) {
  Port &p = port_of(d, port);
  if (p.claimed.load(std::memory_order_acquire) || d.lock_fd < 0) return;
  if (set_lock(d.lock_fd, F_RDLCK, port)) p.claimed.store(true, std::memory_order_release);
}

void unclaim_port(Device &d, BYTE port) {
  if (d.lock_fd >= 0 && port_of(d, port).claimed.exchange(false, std::memory_order_acq_rel))
    set_lock(d.lock_fd, F_UNLCK, port);
}

int check_setting(Device &d, int port) {
  if (d.lock_fd < 0) return 0;
  const BYTE first = port == kModule ? 1 : static_cast<BYTE>(port);
  const BYTE last = port == kModule ? 2 : static_cast<BYTE>(port);
  for (BYTE n = first; n <= last; ++n) {
    Port &p = port_of(d, n);
    claim_port(d, n);
    if (p.override.load(std::memory_order_acquire)) continue;
    const long pid = other_user(d.lock_fd, n);
    if (pid == 0) continue;
    p.user_pid.store(pid, std::memory_order_relaxed);
    return CANFD_ERR_PORT_IN_USE;
  }
  return 0;
}

void note_op_mode(Device &d, BYTE port, const OpMode &m) {
  Port &p = port_of(d, port);
  p.switched_on.store(m.enable != 0, std::memory_order_relaxed);
  p.op_mode.store(static_cast<uint32_t>(m.bus_mode) << 16 | m.iso_mode, std::memory_order_relaxed);
}

}  // namespace canfd::core

using namespace canfd::core;

extern "C" {

int CANFD_GetCANPortUser(WORD hidnum, BYTE i_byCANPort, DWORD *o_dwPid, char *o_szName,
                         DWORD i_dwNameSize) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  Device &d = *use.dev;
  const long pid = d.lock_fd >= 0 ? other_user(d.lock_fd, i_byCANPort) : 0;
  if (o_dwPid != nullptr) *o_dwPid = pid > 0 ? static_cast<DWORD>(pid) : 0;
  if (o_szName == nullptr || i_dwNameSize == 0) return 0;
  o_szName[0] = '\0';
  if (pid <= 0) return 0;
  char path[40];
  snprintf(path, sizeof path, "/proc/%ld/comm", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const ssize_t n = read(fd, o_szName, i_dwNameSize - 1);
  close(fd);
  size_t len = n > 0 ? static_cast<size_t>(n) : 0;
  while (len > 0 && (o_szName[len - 1] == '\n' || o_szName[len - 1] == '\0')) --len;
  o_szName[len] = '\0';
  return 0;
}

int CANFD_SetCANPortOverride(WORD hidnum, BYTE i_byCANPort, BYTE i_byOverride) {
  DeviceUse use(hidnum);
  if (use.rc != 0) return use.rc;
  if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
  port_of(*use.dev, i_byCANPort).override.store(i_byOverride != 0, std::memory_order_release);
  return 0;
}

int CANFD_ReleaseCANPort(WORD hidnum, BYTE i_byCANPort, BYTE *o_bySwitchedOff) {
  if (o_bySwitchedOff != nullptr) *o_bySwitchedOff = 0;
  uint32_t mode;
  {
    DeviceUse use(hidnum);
    if (use.rc != 0) return use.rc;
    if (!valid_port(i_byCANPort)) return CANFD_ERR_INVALID_PORT;
    Device &d = *use.dev;
    Port &p = port_of(d, i_byCANPort);
    // Only a port this program switched on, and that no other program uses.
    if (!p.switched_on.load(std::memory_order_relaxed) ||
        (d.lock_fd >= 0 && other_user(d.lock_fd, i_byCANPort) != 0)) {
      unclaim_port(d, i_byCANPort);
      return 0;
    }
    mode = p.op_mode.load(std::memory_order_relaxed);
  }
  // Its bus and ISO mode words stay as this program set them.
  const int rc = CANFD_SetCANOPMode(hidnum, i_byCANPort, 0, static_cast<WORD>(mode >> 16),
                                    static_cast<WORD>(mode & 0xFFFF));
  if (rc != 0) return rc;
  if (o_bySwitchedOff != nullptr) *o_bySwitchedOff = 1;
  DeviceUse use(hidnum);
  if (use.rc == 0) unclaim_port(*use.dev, i_byCANPort);
  return 0;
}

}  // extern "C"
