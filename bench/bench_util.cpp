// Clocks, statistics, tables and process readings of the benchmarks.
#include "bench_util.h"

#include <dirent.h>
#include <linux/perf_event.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace bench {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

int64_t monotonic_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

double thread_cpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long this_tid() { return static_cast<long>(gettid()); }

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

double max_of(const std::vector<double> &v) {
  return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

double Fields::d(const std::string &k) const {
  const auto it = f.find(k);
  return it == f.end() ? 0 : atof(it->second.c_str());
}

std::string Fields::at(const std::string &k) const {
  const auto it = f.find(k);
  return it == f.end() ? "-" : it->second;
}

std::string Fields::line(const std::string &tag) const {
  std::string s = tag;
  for (const auto &[k, v] : f) s += " " + k + "=" + v;
  return s;
}

Fields Fields::parse(const std::string &text, const std::string &tag) {
  Fields r;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(tag + " ", 0) != 0) continue;
    std::istringstream words(line.substr(tag.size() + 1));
    std::string w;
    while (words >> w) {
      const size_t eq = w.find('=');
      if (eq != std::string::npos && eq > 0) r.f[w.substr(0, eq)] = w.substr(eq + 1);
    }
  }
  return r;
}

std::string shell_unquote(const std::string &word) {
  std::string v;
  bool quoted = false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] == '\'') {
      quoted = !quoted;
    } else if (word[i] == '\\' && !quoted && i + 1 < word.size()) {
      v += word[++i];
    } else {
      v += word[i];
    }
  }
  return v;
}

long long sim_reports_dropped(const std::string &messages) {
  // The lines canfd-sim writes at its end: one per adapter that dropped, and
  // none when nothing was dropped; its start line tells that it was not quiet.
  if (messages.find("canfd-sim: sandbox ") == std::string::npos) return -1;
  long long sum = 0;
  std::istringstream in(messages);
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long n = 0;
    int end = 0;  // set only when the whole pattern matched
    sscanf(line.c_str(), "canfd-sim: adapter %*s dropped %llu reports that a reader did not%n", &n,
           &end);
    if (end > 0) sum += static_cast<long long>(n);
  }
  return sum;
}

std::string fmt(const char *f, double v) {
  char b[64];
  snprintf(b, sizeof b, f, v);
  return b;
}
std::string num(double v) { return fmt("%.0f", v); }
std::string count(unsigned long long v) { return std::to_string(v); }
std::string ratio(double v, double base) { return base > 0 ? fmt("%.2f", v / base) : "-"; }

std::vector<std::string> row(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> r;
  for (const auto &p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

Table::Table(std::vector<std::string> head) { rows_.push_back(std::move(head)); }

void Table::add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }

void Table::print() const {
  std::vector<size_t> w(rows_[0].size(), 3);
  for (const auto &r : rows_)
    for (size_t i = 0; i < r.size() && i < w.size(); ++i) w[i] = std::max(w[i], r[i].size());
  auto line = [&w](const std::vector<std::string> &r, char fill) {
    printf("|");
    for (size_t i = 0; i < w.size(); ++i) {
      const std::string c = i < r.size() ? r[i] : "";
      printf("%c%s%s%c|", fill, c.c_str(), std::string(w[i] - c.size(), fill).c_str(), fill);
    }
    printf("\n");
  };
  for (size_t k = 0; k < rows_.size(); ++k) {
    line(rows_[k], ' ');
    if (k == 0) line(std::vector<std::string>(w.size()), '-');
  }
  printf("\n");
  fflush(stdout);
}

void heading(const std::string &title, const std::string &what) {
  printf("### %s\n\n%s\n\n", title.c_str(), what.c_str());
  fflush(stdout);
}

void Goals::add(const std::string &what, const std::string &figure, const std::string &goal,
                bool met) {
  table_.add({what, figure, goal, met ? "met" : "MISSED"});
  ++rows_;
}

void Goals::print(const std::string &title) const {
  if (rows_ == 0) return;
  heading(title, "The figures of this run against the goals set for them.");
  table_.print();
}

void die(const std::string &what) {
  fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  exit(1);
}

ThreadTimes ThreadTimes::now() {
  ThreadTimes t;
  DIR *d = opendir("/proc/self/task");
  if (d == nullptr) return t;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string path = std::string("/proc/self/task/") + e->d_name + "/schedstat";
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) continue;
    Entry en;
    unsigned long long wait_ns = 0;
    if (fscanf(f, "%llu %llu %llu", &en.cpu_ns, &wait_ns, &en.runs) == 3)
      t.threads[atol(e->d_name)] = en;
    fclose(f);
  }
  closedir(d);
  return t;
}

ThreadTimes::Entry used_between(const ThreadTimes &a, const ThreadTimes &b,
                                const std::set<long> &skip) {
  ThreadTimes::Entry sum;
  for (const auto &[tid, e] : b.threads) {
    if (skip.count(tid)) continue;
    const auto it = a.threads.find(tid);
    const ThreadTimes::Entry base = it == a.threads.end() ? ThreadTimes::Entry{} : it->second;
    sum.cpu_ns += e.cpu_ns - base.cpu_ns;
    sum.runs += e.runs - base.runs;
  }
  return sum;
}

std::set<long> others(const ThreadTimes &b, const std::set<long> &keep) {
  std::set<long> s;
  for (const auto &t : b.threads)
    if (!keep.count(t.first)) s.insert(t.first);
  return s;
}

namespace {

// The tracepoint's id, from tracefs where it is mounted.
long tracepoint_id(const char *event) {
  for (const char *root : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
    const std::string path = std::string(root) + "/events/" + event + "/id";
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) continue;
    long id = -1;
    if (fscanf(f, "%ld", &id) != 1) id = -1;
    fclose(f);
    if (id >= 0) return id;
  }
  return -1;
}

}  // namespace

SyscallCounter::SyscallCounter() {
  const long id = tracepoint_id("raw_syscalls/sys_enter");
  if (id < 0) return;
  perf_event_attr attr{};
  attr.size = sizeof attr;
  attr.type = PERF_TYPE_TRACEPOINT;
  attr.config = static_cast<uint64_t>(id);
  attr.inherit = 1;  // threads started from now on count too
  attr.exclude_hv = 1;
  fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

SyscallCounter::~SyscallCounter() {
  if (fd_ >= 0) close(fd_);
}

uint64_t SyscallCounter::read() const {
  uint64_t n = 0;
  if (fd_ < 0 || ::read(fd_, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) return 0;
  return n;
}

ProcessUse ProcessUse::now(const SyscallCounter *all) {
  ProcessUse u;
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto secs = [](const timeval &tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  u.cpu_s = secs(ru.ru_utime) + secs(ru.ru_stime);
  u.voluntary = static_cast<uint64_t>(ru.ru_nvcsw);
  u.involuntary = static_cast<uint64_t>(ru.ru_nivcsw);
  if (FILE *f = fopen("/proc/self/io", "r")) {
    char key[64];
    unsigned long long v = 0;
    while (fscanf(f, "%63s %llu", key, &v) == 2) {
      if (strcmp(key, "syscr:") == 0) u.reads = v;
      if (strcmp(key, "syscw:") == 0) u.writes = v;
    }
    fclose(f);
  }
  if (all != nullptr) u.syscalls = all->read();
  return u;
}

ProcessUse ProcessUse::operator-(const ProcessUse &o) const {
  ProcessUse d;
  d.cpu_s = cpu_s - o.cpu_s;
  d.voluntary = voluntary - o.voluntary;
  d.involuntary = involuntary - o.involuntary;
  d.reads = reads - o.reads;
  d.writes = writes - o.writes;
  d.syscalls = syscalls - o.syscalls;
  return d;
}

double process_cpu(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE *f = fopen(path.c_str(), "r");
  if (f == nullptr) return 0;
  char buf[1024];
  const size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  // Fields after the command name (which may hold spaces): utime is the
  // 14th field of the line, the 12th after the closing parenthesis.
  const char *p = strrchr(buf, ')');
  if (p == nullptr) return 0;
  unsigned long long utime = 0, stime = 0;
  if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
    return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string machine() {
  utsname u{};
  uname(&u);
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  // What the kernel's entry and exit cost here (a virtual machine pays more).
  constexpr int kCalls = 100000;
  const auto t0 = Clock::now();
  for (int i = 0; i < kCalls; ++i) syscall(SYS_getppid);
  const double null_us = micros(Clock::now() - t0) / kCalls;
  char b[320];
  snprintf(b, sizeof b,
           "%ld CPUs, %s %s %s, load average %.2f at the start, a null system call %.2f us",
           sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release, u.machine, load[0], null_us);
  return b;
}

}  // namespace bench
