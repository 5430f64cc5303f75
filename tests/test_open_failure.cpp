// Open failing after it took resources: eventfd, worker threads, memory.
// This program replaces eventfd, pthread_create and calloc with versions that
// can be told to fail, so it is not built with the sanitizers (they replace
// the same functions).
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sys/eventfd.h>

#include <atomic>

#include "rig.h"

namespace {
std::atomic<bool> fail_eventfd{false};
std::atomic<int> fail_thread{-1};  // fail the n-th pthread_create from now (0 = next)
std::atomic<size_t> fail_calloc_size{0};
std::atomic<int> cancels{0};  // pthread_cancel calls, by anyone
// Only calls made by the opening thread fail; the simulated adapter's own
// threads are left alone.
thread_local bool is_opener = false;
}  // namespace

extern "C" {
void *__libc_calloc(size_t, size_t);

int eventfd(unsigned int initval, int flags) {
  if (is_opener && fail_eventfd.load()) {
    errno = EMFILE;
    return -1;
  }
  static auto real = reinterpret_cast<int (*)(unsigned int, int)>(dlsym(RTLD_NEXT, "eventfd"));
  return real(initval, flags);
}

int pthread_create(pthread_t *t, const pthread_attr_t *attr, void *(*fn)(void *), void *arg) {
  if (is_opener && fail_thread.load() >= 0 && fail_thread.fetch_sub(1) == 0) return EAGAIN;
  static auto real =
      reinterpret_cast<int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)>(
          dlsym(RTLD_NEXT, "pthread_create"));
  return real(t, attr, fn, arg);
}

int pthread_cancel(pthread_t t) {
  ++cancels;
  static auto real = reinterpret_cast<int (*)(pthread_t)>(dlsym(RTLD_NEXT, "pthread_cancel"));
  return real(t);
}

void *calloc(size_t n, size_t size) {
  if (is_opener && n == 1 && size != 0 && size == fail_calloc_size.load()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(n, size);
}
}

namespace {

using namespace rig;

struct OpenFailure : ::testing::Test {
  canfd_sim::Sandbox sandbox;
  int fds = 0, tasks = 0;
  void SetUp() override {
    sandbox.add({});
    is_opener = true;
    fds = count_entries("/proc/self/fd");
    tasks = count_entries("/proc/self/task");
  }
  void TearDown() override {
    fail_eventfd = false;
    fail_thread = -1;
    fail_calloc_size = 0;
  }
  // After a failed open nothing is left, and the adapter opens normally.
  void expect_released_and_reopenable() {
    // The simulated adapter closes its end of a connection a moment later.
    EXPECT_TRUE(eventually([&] { return count_entries("/proc/self/fd") == fds; }));
    EXPECT_TRUE(eventually([&] { return count_entries("/proc/self/task") == tasks; }));
    fail_eventfd = false;
    fail_thread = -1;
    fail_calloc_size = 0;
    WORD h = 0;
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
    WORD fw = 0;
    EXPECT_EQ(CANFD_GetFwVer(h, &fw), 0);
    EXPECT_EQ(CANFD_CloseDevice(h), 0);
    EXPECT_EQ(CANFD_CloseDevice(h), CANFD_ERR_DEVICE_NOT_OPEN);
  }
};

TEST_F(OpenFailure, EventfdFails) {
  fail_eventfd = true;
  WORD h = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "eventfd: Too many open files\n");
  EXPECT_EQ(CANFD_GetFwVer(h, nullptr), CANFD_ERR_DEVICE_NOT_OPEN);
  expect_released_and_reopenable();
}

TEST_F(OpenFailure, ReceiveWorkerDoesNotStart) {
  fail_thread = 0;
  WORD h = 0;
  EXPECT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 2);
  expect_released_and_reopenable();
}

TEST_F(OpenFailure, TransmitWorkerDoesNotStart) {
  fail_thread = 1;  // the receive worker starts and must be stopped again
  WORD h = 0;
  EXPECT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 2);
  expect_released_and_reopenable();
}

TEST_F(OpenFailure, NoMemoryForTheRecord) {
  fail_calloc_size = sizeof(KALVEN_CANFD_CAN_Buf_St);
  WORD h = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 5);
  testing::internal::GetCapturedStderr();
  expect_released_and_reopenable();
}

TEST_F(OpenFailure, NoMemoryForTheWorkerBlock) {
  fail_calloc_size = sizeof(thread_t);
  WORD h = 0;
  EXPECT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 2);
  expect_released_and_reopenable();
}

// The workers stop because they are told to, never by cancellation: close
// under traffic cancels no thread.
TEST(Workers, StopWithoutCancellation) {
  canfd_sim::Sandbox sandbox;
  auto &a = sandbox.add({});
  for (int round = 0; round < 20; ++round) {
    WORD h = 0;
    ASSERT_EQ(CANFD_OpenDevice(&h, kPid, kBid), 0);
    BYTE data[8] = {0};
    for (int i = 0; i < 20; ++i) CANFD_SetCANTxMsg(h, 1, 0, 1, 0, 0, 8, data);
    a.push_records(1, {canfd_sim::make_rx_record(1, false, false, false, false, 0, nullptr)});
    ASSERT_EQ(CANFD_CloseDevice(h), 0);
  }
  EXPECT_EQ(cancels.load(), 0);
}

}  // namespace
