// Test fixture: one simulated adapter in a fresh sandbox, opened by the library.
#ifndef CANFD_TEST_RIG_H
#define CANFD_TEST_RIG_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "canfd.h"
#include "canfd_comm.h"
#include "sim.h"

namespace rig {

using Bytes = std::vector<uint8_t>;

constexpr WORD kPid = 0x0E31;
constexpr DWORD kBid = 0x1234ABCD;

inline Bytes bytes(std::initializer_list<int> v) { return Bytes(v.begin(), v.end()); }

// The packet of a received write: the report without its report number byte,
// cut to the length its header gives.
inline Bytes packet_of(const Bytes &report) {
  if (report.size() != 513) return report;
  const size_t len = 6 + (report[5] | report[6] << 8);
  return Bytes(report.begin() + 1, report.begin() + 1 + (len < 512 ? len : 512));
}

// Polls cond every millisecond until it holds or timeout_ms passes.
template <class Cond>
bool eventually(Cond cond, int timeout_ms = 2000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Numbered entries of a /proc directory (descriptors, threads).
inline std::set<int> proc_entries(const char *path) {
  std::set<int> ids;
  DIR *d = opendir(path);
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
  closedir(d);
  return ids;
}

// How many there are, for leak checks.
inline int count_entries(const char *path) { return static_cast<int>(proc_entries(path).size()); }

// CPU time the process has used, in seconds.
inline double cpu_seconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Whether a thread still knows itself after one of its signal handlers ran,
// probed in a child process. qemu-i386 7.2 reloads the thread pointer of a
// thread returning from a signal handler from the newest thread's segment,
// so that thread takes on another's identity; real kernels do not. Only a
// test that signals the library's workers on purpose depends on it. Probed
// at start-up, while the process has one thread:
// qemu-arm fails threads in a child forked later. Only 32-bit x86 keeps
// the thread pointer in a segment register; elsewhere nothing is probed (a
// fork before main upsets ThreadSanitizer).
inline bool probe_signal_identity() {
#if !defined(__i386__)
  return true;
#else
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGUSR2, [](int) {});
    pthread_t other;
    pthread_create(
        &other, nullptr, [](void *) -> void * { return nullptr; }, nullptr);
    // Called through a volatile pointer: pthread_self is declared const,
    // and the compiler would fold the two calls into one.
    pthread_t (*volatile self)() = pthread_self;
    const pthread_t before = self();
    syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), SIGUSR2);
    _exit(pthread_equal(before, self()) ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
#endif
}
inline const bool signal_handlers_keep_thread_identity = probe_signal_identity();
constexpr const char *kLosesThreadIdentity =
    "this emulator lets a thread take on another's identity in signal handlers";

// Records waiting in a port's receive ring.
inline DWORD rx_count(WORD h, BYTE port) {
  DWORD n = 0xDEAD;
  EXPECT_EQ(CANFD_GetCANRxMsgCount(h, port, &n), 0);
  return n;
}

// A command answered proves that every report sent before it was handled.
inline void sync_with_worker(WORD h) {
  WORD fw = 0;
  ASSERT_EQ(CANFD_GetFwVer(h, &fw), 0);
}

// Close leaves a writer that the node holds in a write to the node's
// timeout; a later open or close joins it. After such a close: waits until
// the write has given up, and joins the writer (through a close that finds
// nothing open).
inline void join_left_writer(WORD closed, int write_timeout_ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(write_timeout_ms + 200));
  EXPECT_EQ(CANFD_CloseDevice(closed), CANFD_ERR_DEVICE_NOT_OPEN);
}

// Reports that may wait unread at a time. The node keeps 64 per opener, as
// the kernel's hidraw does, and misses the rest: a USB adapter never
// outruns a reader that keeps up, but the simulated adapter without its
// timing model sends as fast as a socket takes reports.
constexpr size_t kPacedReports = 48;

// Sends received-frame records for a port in steps the node keeps whole
// (six records per report), each step filed before the next goes.
inline void push_paced(canfd_sim::Adapter &a, WORD h, int port,
                       const std::vector<CANRxPacketStruct> &recs) {
  constexpr size_t kStep = kPacedReports * 6;
  for (size_t at = 0; at < recs.size(); at += kStep) {
    const size_t n = std::min(kStep, recs.size() - at);
    a.push_records(port, std::vector<CANRxPacketStruct>(recs.begin() + at, recs.begin() + at + n));
    sync_with_worker(h);
  }
}

// Sends reports in the same steps.
inline void send_paced(canfd_sim::Adapter &a, WORD h, const std::vector<Bytes> &reports) {
  for (size_t i = 0; i < reports.size(); ++i) {
    ASSERT_TRUE(a.send_report(reports[i].data(), reports[i].size())) << "report " << i;
    if ((i + 1) % kPacedReports == 0) sync_with_worker(h);
  }
  sync_with_worker(h);
}

class OpenAdapter : public ::testing::Test {
 protected:
  canfd_sim::Sandbox sandbox;
  canfd_sim::Adapter *adapter = nullptr;
  WORD h = 0xFFFF;

  void SetUp() override {
    adapter = &sandbox.add({});
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
    ASSERT_EQ(h, 0);
    // Open exchanges the firmware read twice, with 10 ms each; once another
    // command is answered, they are out of the way (a firmware read would
    // do as well only if theirs were answered: an answer late for one of
    // them is the answer of a firmware read that waits). Each test starts
    // from a clean log.
    BYTE pin = 0;
    ASSERT_EQ(CANFD_GetINITPinStatus(h, &pin), 0);
    adapter->clear_received();
  }
  void TearDown() override {
    if (h != 0xFFFF) CANFD_CloseDevice(h);
  }

  // Packets the adapter received since the last clear, in order.
  std::vector<Bytes> packets() const {
    std::vector<Bytes> out;
    for (const auto &r : adapter->received()) out.push_back(packet_of(r));
    return out;
  }
  Bytes last_packet() const {
    auto p = packets();
    return p.empty() ? Bytes{} : p.back();
  }
};

}  // namespace rig

#endif  // CANFD_TEST_RIG_H
