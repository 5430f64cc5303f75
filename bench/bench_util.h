// What the benchmark programs share: clocks, statistics, Markdown tables,
// and the CPU, context switches and system calls of this process and of its
// threads, read from /proc, getrusage() and a perf counter.
#ifndef CANFD_BENCH_UTIL_H
#define CANFD_BENCH_UTIL_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// The simulated adapter's default identity (canfd-sim counts board ids up
// from it for further adapters).
constexpr uint16_t kSimPid = 0x0E31;
constexpr uint32_t kSimBid = 0x1234ABCD;
// Frames per CANFD_SendCANFrames call: ten full reports.
constexpr uint32_t kTxBatch = 70;

double seconds(Clock::duration d);
double micros(Clock::duration d);
// CLOCK_MONOTONIC, in microseconds: the simulated adapter's time stamps
// count on this clock.
int64_t monotonic_us();
// CPU time of the calling thread, in seconds.
double thread_cpu();
long this_tid();

double median(std::vector<double> v);
// The p-th percentile (0 to 100) by the nearest rank.
double percentile(std::vector<double> v, double p);
double max_of(const std::vector<double> &v);

// Checks that numbered items come in order: a number above the next one
// expected is a gap (the items between are missing), one below it came out
// of order (or twice).
struct SeqCheck {
  uint64_t next = 0, gaps = 0, missing = 0, reordered = 0;
  void take(uint64_t seq) {
    if (seq > next) {
      ++gaps;
      missing += seq - next;
    } else if (seq < next) {
      ++reordered;
      return;
    }
    next = seq + 1;
  }
};

// A span of the adapter's clock (CLOCK_MONOTONIC in the sandbox, as
// monotonic_us), and whether a frame's time stamp falls within it.
struct Window {
  int64_t from_us = 0, to_us = 0;
  bool holds(uint32_t second, uint32_t usecond) const {
    const int64_t t = static_cast<int64_t>(second) * 1000000 + usecond;
    return t >= from_us && t < to_us;
  }
};

// Named figures passed from one process to another as one line of text:
// the tag, then key=value words (values without spaces).
struct Fields {
  std::map<std::string, std::string> f;

  // The value as a number; 0 when absent.
  double d(const std::string &k) const;
  bool has(const std::string &k) const { return f.count(k) != 0; }
  // The value as text; "-" when absent.
  std::string at(const std::string &k) const;
  std::string line(const std::string &tag) const;
  // The fields of the lines of text that start with the tag.
  static Fields parse(const std::string &text, const std::string &tag);
};

// The value of a word as a shell reads it: single quotes taken off, and a
// backslash outside them taking the next character as it is.
std::string shell_unquote(const std::string &word);

// The reports canfd-sim says, as it ends, its sandbox nodes dropped because
// a reader did not read them in time, summed over its adapters; -1 when its
// messages do not say (it ran with --quiet, or did not end).
long long sim_reports_dropped(const std::string &messages);

// Formatting of table cells.
std::string fmt(const char *f, double v);
std::string num(double v);
std::string count(unsigned long long v);
// A ratio with two decimals, or "-" when the base is 0.
std::string ratio(double v, double base);

// The cells of a table row, put together from parts.
std::vector<std::string> row(std::initializer_list<std::vector<std::string>> parts);

// A Markdown table, columns padded to their widest cell.
class Table {
 public:
  explicit Table(std::vector<std::string> head);
  void add(std::vector<std::string> row);
  void print() const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

void heading(const std::string &title, const std::string &what);

// The goals the figures are held to, printed as a last table.
class Goals {
 public:
  void add(const std::string &what, const std::string &figure, const std::string &goal, bool met);
  // Prints the table under a heading, if any goal was added.
  void print(const std::string &title) const;

 private:
  Table table_{{"what", "figure", "goal", "result"}};
  int rows_ = 0;
};

[[noreturn]] void die(const std::string &what);

// CPU time (ns) and number of runs on a CPU of every thread of the process,
// from /proc/self/task/<tid>/schedstat.
struct ThreadTimes {
  struct Entry {
    unsigned long long cpu_ns = 0, runs = 0;
  };
  std::map<long, Entry> threads;

  static ThreadTimes now();
};

// What the threads outside `skip` used from a to b (threads that started in
// between count from zero; threads that ended in between are not seen).
ThreadTimes::Entry used_between(const ThreadTimes &a, const ThreadTimes &b,
                                const std::set<long> &skip);
// Every thread of b that is not in keep.
std::set<long> others(const ThreadTimes &b, const std::set<long> &keep);

// Counts the system calls of this process (every thread started after it
// is made) with a perf counter on the raw_syscalls:sys_enter tracepoint, when
// the kernel allows it.
class SyscallCounter {
 public:
  SyscallCounter();
  ~SyscallCounter();
  SyscallCounter(const SyscallCounter &) = delete;
  SyscallCounter &operator=(const SyscallCounter &) = delete;
  bool available() const { return fd_ >= 0; }
  // Calls so far, or 0 when not available.
  uint64_t read() const;

 private:
  int fd_ = -1;
};

// Usage of the whole process at one moment: CPU, context switches (from
// getrusage, summed over its threads), read and write system calls (syscr
// and syscw of /proc/self/io) and, when counted, all system calls.
struct ProcessUse {
  double cpu_s = 0;
  uint64_t voluntary = 0, involuntary = 0;
  uint64_t reads = 0, writes = 0;
  uint64_t syscalls = 0;

  static ProcessUse now(const SyscallCounter *all = nullptr);
  ProcessUse operator-(const ProcessUse &o) const;
};

// CPU time (user + system, seconds) of another process, from /proc/PID/stat.
double process_cpu(pid_t pid);

// The machine, for the heading of a run: CPUs, kernel, load average.
std::string machine();

}  // namespace bench

#endif  // CANFD_BENCH_UTIL_H
