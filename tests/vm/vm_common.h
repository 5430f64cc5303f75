// Small helpers of the VM stage's programs: clocks, CPU time, child
// processes with pipes, line reading with a time limit, hexadecimal text.
#ifndef CANFD_VM_COMMON_H
#define CANFD_VM_COMMON_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace canfd_vm {

// CLOCK_MONOTONIC in milliseconds: one clock for every process of the VM.
inline double now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// CPU time of every thread of this process, in seconds.
inline double process_cpu_s() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto s = [](const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return s(ru.ru_utime) + s(ru.ru_stime);
}

// A result code or count as the VM stage's programs print it: 0x10100.
inline std::string hex(long v) {
  char b[24];
  snprintf(b, sizeof b, "0x%lX", v);
  return b;
}

inline void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// Lines from a descriptor, each read within a time limit.
class LineReader {
 public:
  explicit LineReader(int fd = -1) : fd_(fd) {}
  // The next line without its newline; false at end of file or when
  // timeout_ms passed without a whole line.
  bool next(std::string &line, int timeout_ms) {
    const double deadline = now_ms() + timeout_ms;
    for (;;) {
      const size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return true;
      }
      const double left = deadline - now_ms();
      if (left <= 0 || fd_ < 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
      char chunk[512];
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buf_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buf_;
};

// A child process whose standard input and output are pipes to us.
struct Child {
  pid_t pid = -1;
  int in = -1;  // its standard input
  LineReader out;
  int status = -1;

  static Child spawn(const std::vector<std::string> &argv) {
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) {
      perror("pipe");
      exit(2);
    }
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
      dup2(to[0], 0);
      dup2(from[1], 1);
      std::vector<char *> args;
      for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      perror(args[0]);
      _exit(127);
    }
    close(to[0]);
    close(from[1]);
    c.in = to[1];
    c.out = LineReader(from[0]);
    return c;
  }

  void say(const char *line) const {
    // A child that has ended already needs no more lines.
    if (write(in, line, std::char_traits<char>::length(line)) < 0 && errno != EPIPE)
      perror("write to child");
  }

  // Waits up to timeout_ms for the child to end, then kills it. True when
  // it ended by itself.
  bool wait(int timeout_ms) {
    const double deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
      if (waitpid(pid, &status, WNOHANG) == pid) return true;
      sleep_ms(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
  }

  bool exited_zero() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

  std::string how_it_ended() const {
    char b[64];
    if (WIFSIGNALED(status))
      snprintf(b, sizeof b, "killed by signal %d", WTERMSIG(status));
    else
      snprintf(b, sizeof b, "exit status %d", WEXITSTATUS(status));
    return b;
  }
};

}  // namespace canfd_vm

#endif
