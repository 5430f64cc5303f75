// Recording the reports an adapter sends, for the fuzz targets' seeds: a
// descriptor of its own on the adapter's node receives every report the
// adapter sends to the program that uses it. A log holds each report as its
// length (2 bytes, little-endian) and its bytes.
#ifndef CANFD_FUZZ_REPORT_LOG_H
#define CANFD_FUZZ_REPORT_LOG_H

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace canfd_fuzz {

class ReportRecorder {
 public:
  // Records up to max_reports reports of the node into the log at path;
  // ok() tells whether both opened.
  ReportRecorder(const std::string &node, const std::string &path, size_t max_reports)
      : max_(max_reports) {
    fd_ = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    out_ = fopen(path.c_str(), "wb");
    stop_ = eventfd(0, EFD_CLOEXEC);
    if (ok()) thread_ = std::thread([this] { run(); });
  }
  ~ReportRecorder() {
    if (thread_.joinable()) {
      const uint64_t one = 1;
      if (write(stop_, &one, sizeof one) != sizeof one) perror("eventfd");
      thread_.join();
    }
    if (fd_ >= 0) close(fd_);
    if (stop_ >= 0) close(stop_);
    if (out_ != nullptr) fclose(out_);
  }
  ReportRecorder(const ReportRecorder &) = delete;
  ReportRecorder &operator=(const ReportRecorder &) = delete;

  bool ok() const { return fd_ >= 0 && out_ != nullptr && stop_ >= 0; }
  size_t count() const { return count_.load(); }

 private:
  void run() {
    uint8_t report[1024];
    while (count_.load() < max_) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) break;
      const ssize_t n = read(fd_, report, sizeof report);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;  // the node is gone
      if (n < 0) continue;
      const uint8_t len[2] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
      fwrite(len, 1, 2, out_);
      fwrite(report, 1, static_cast<size_t>(n), out_);
      ++count_;
    }
    // Done: the node is let go, so that the adapter waits for no one.
    close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
  int stop_ = -1;
  FILE *out_ = nullptr;
  size_t max_;
  std::atomic<size_t> count_{0};
  std::thread thread_;
};

// The reports of a log, in order.
inline std::vector<std::vector<uint8_t>> read_report_log(const std::string &path) {
  std::vector<std::vector<uint8_t>> reports;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return reports;
  uint8_t len[2];
  while (fread(len, 1, 2, f) == 2) {
    std::vector<uint8_t> r(static_cast<size_t>(len[0] | len[1] << 8));
    if (fread(r.data(), 1, r.size(), f) != r.size()) break;
    reports.push_back(std::move(r));
  }
  fclose(f);
  return reports;
}

}  // namespace canfd_fuzz

#endif  // CANFD_FUZZ_REPORT_LOG_H
