// Figures of the SocketCAN bridge on a real kernel, against canfd-sim --uhid
// with its timing model: frames per second from port 1 to port 2 through
// the frame interface used directly, then through the bridge (written to
// port 1's interface, read from port 2's), for classic and CAN FD frames;
// and the latency from the adapter to a reader of the library and to a
// reader of the bridge's interface, measured on the same frames.
//
//   canfd-vm-bridge BRIDGE PID BID FRAMES LATENCY_FRAMES
//
// BRIDGE is the canfd-socketcan program; it is started here, after the
// direct runs, with the bit rates they used. Prints a table, and the frames
// lost, if any (with uhid's drops meanwhile); the exit status is 1 when
// frames came twice or out of order, or the bridge did not stop cleanly.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/klog.h>
#include <sys/socket.h>

#include <cstring>
#include <thread>

#include "canfd.hpp"
#include "transmit.h"
#include "vm_common.h"

namespace {

using namespace canfd_vm;

constexpr canfd::BitTiming kTiming{1000000, 2000000, 8000, 7500};

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "canfd-vm-bridge: %s\n", what.c_str());
  exit(2);
}

struct Workload {
  const char *name;
  bool fd;
};

// Frame i of a run: its number in the first four data bytes.
canfd::Frame frame(const Workload &w, uint32_t i) {
  canfd::Frame f;
  f.id = 0x100 + (i & 0xFF);
  f.fd = w.fd;
  f.brs = w.fd;
  f.resize(8);
  std::memcpy(f.data.data(), &i, sizeof i);
  return f;
}

struct Run {
  uint64_t received = 0;
  bool in_order = true;  // no frame came twice or before one sent earlier
  double seconds = 0;
  int uhid_drops = 0;  // times uhid dropped the host's reports meanwhile

  double fps() const { return seconds > 0 ? static_cast<double>(received) / seconds : 0; }
};

// Numbers carried by received frames, checked for order.
class Order {
 public:
  void see(uint32_t n, Run &r) {
    if (n < next_) r.in_order = false;
    next_ = n + 1;
    ++r.received;
  }

 private:
  uint32_t next_ = 0;
};

Run direct(canfd::Adapter &a, const Workload &w, uint32_t frames) {
  canfd::Port tx = a.port(1), rx = a.port(2);
  Run r;
  Order order;
  const double t0 = now_ms();
  double last = t0;
  std::thread reader([&] {
    std::vector<CANFD_Frame_St> in(256);
    while (r.received < frames) {
      const size_t n = rx.receive(canfd::span<CANFD_Frame_St>(in), std::chrono::seconds(3));
      if (n == 0) break;
      for (size_t i = 0; i < n; ++i) {
        uint32_t seq;
        std::memcpy(&seq, in[i].data, sizeof seq);
        order.see(seq, r);
      }
      last = now_ms();
    }
  });
  uint32_t i = 0;
  canfd_tool::transmit(tx, {}, [&](canfd::Frame &f) {
    if (i == frames) return false;
    f = frame(w, i++);
    return true;
  });
  reader.join();
  r.seconds = (last - t0) / 1e3;
  return r;
}

// How often the kernel has said so far that uhid dropped output reports:
// canfd-sim did not read them in time (it reads them as they come, but an
// emulated machine under load may leave it waiting).
int uhid_drops() {
  const int size = klogctl(10, nullptr, 0);  // SYSLOG_ACTION_SIZE_BUFFER
  if (size <= 0) return 0;
  std::string log(static_cast<size_t>(size), '\0');
  const int n = klogctl(3, log.data(), size);  // SYSLOG_ACTION_READ_ALL
  if (n <= 0) return 0;
  log.resize(static_cast<size_t>(n));
  int count = 0;
  for (size_t at = 0; (at = log.find("Output queue is full", at)) != std::string::npos; ++at)
    ++count;
  return count;
}

// Runs one measurement, counting uhid's drops meanwhile.
template <class F>
Run measured(F &&run) {
  const int before = uhid_drops();
  Run r = run();
  r.uhid_drops = uhid_drops() - before;
  return r;
}

int can_socket(const std::string &ifname) {
  const int s = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  const int on = 1;
  int rcvbuf = 8 << 20;
  sockaddr_can addr{};
  addr.can_family = AF_CAN;
  addr.can_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
  if (s < 0 || addr.can_ifindex == 0 ||
      setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0 ||
      bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
    die("cannot open a CAN socket on " + ifname);
  return s;
}

// Reads a frame from a CAN socket within timeout_ms; its size, or 0.
size_t read_frame(int s, canfd_frame &f, int timeout_ms) {
  pollfd p{s, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return 0;
  const ssize_t n = recv(s, &f, sizeof f, 0);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

Run bridged(int tx, int rx, const Workload &w, uint32_t frames) {
  Run r;
  Order order;
  const double t0 = now_ms();
  double last = t0;
  std::thread reader([&] {
    canfd_frame f;
    while (r.received < frames) {
      if (read_frame(rx, f, 3000) == 0) break;
      uint32_t seq;
      std::memcpy(&seq, f.data, sizeof seq);
      order.see(seq, r);
      last = now_ms();
    }
  });
  for (uint32_t i = 0; i < frames; ++i) {
    const CANFD_Frame_St c = frame(w, i).to_c();
    canfd_frame f{};
    f.can_id = c.id;
    f.len = c.len;
    f.flags = w.fd ? CANFD_BRS : 0;
    std::memcpy(f.data, c.data, c.len);
    const size_t size = w.fd ? CANFD_MTU : CAN_MTU;
    if (write(tx, &f, size) != static_cast<ssize_t>(size)) die("write to the bridge's interface");
  }
  reader.join();
  r.seconds = (last - t0) / 1e3;
  return r;
}

double realtime_us() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Latency of single frames, one every 5 ms, from the adapter's time stamp
// (in host time) to a reader of the library (a thread of this process) and
// to a reader of the bridge's interface (another thread): microseconds.
void latency(canfd::Adapter &a, int rx_socket, int count, std::vector<double> &lib,
             std::vector<double> &sock) {
  canfd::Port tx = a.port(1), rx = a.port(2);
  std::vector<double> lib_at(count, 0), sock_at(count, 0), stamp(count, 0);
  std::thread library_reader([&] {
    for (int got = 0; got < count; ++got) {
      CANFD_Frame_St f;
      if (rx.receive(canfd::span<CANFD_Frame_St>(&f, 1), std::chrono::seconds(2)) != 1) return;
      const double at = realtime_us();
      uint32_t seq;
      std::memcpy(&seq, f.data, sizeof seq);
      if (seq >= static_cast<uint32_t>(count)) continue;
      lib_at[seq] = at;
      stamp[seq] = static_cast<double>(f.host_second) * 1e6 + static_cast<double>(f.host_usecond);
    }
  });
  std::thread socket_reader([&] {
    for (int got = 0; got < count; ++got) {
      canfd_frame f;
      if (read_frame(rx_socket, f, 2000) == 0) return;
      const double at = realtime_us();
      uint32_t seq;
      std::memcpy(&seq, f.data, sizeof seq);
      if (seq < static_cast<uint32_t>(count)) sock_at[seq] = at;
    }
  });
  for (int i = 0; i < count; ++i) {
    tx.send(frame({"", false}, static_cast<uint32_t>(i)));
    sleep_ms(5);
  }
  library_reader.join();
  socket_reader.join();
  for (int i = 0; i < count; ++i) {
    if (lib_at[i] == 0 || sock_at[i] == 0) die("a latency frame did not arrive");
    lib.push_back(lib_at[i] - stamp[i]);
    sock.push_back(sock_at[i] - stamp[i]);
  }
}

void row(const char *name, const std::vector<double> &us) {
  printf("| %-44s | %5zu | %7.0f | %7.0f | %7.0f | %7.0f |\n", name, us.size(),
         *std::min_element(us.begin(), us.end()), median(us), percentile(us, 99),
         *std::max_element(us.begin(), us.end()));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: canfd-vm-bridge BRIDGE PID BID FRAMES LATENCY_FRAMES\n");
    return 2;
  }
  const uint16_t pid = static_cast<uint16_t>(strtoul(argv[2], nullptr, 16));
  const uint32_t bid = static_cast<uint32_t>(strtoul(argv[3], nullptr, 16));
  const uint32_t frames = static_cast<uint32_t>(atoi(argv[4]));
  const int latency_frames = atoi(argv[5]);
  if (frames < 1 || latency_frames < 1) die("counts must be positive");
  const Workload workloads[] = {{"classic, 8 bytes", false}, {"CAN FD with BRS, 8 bytes", true}};
  Run direct_runs[2], bridged_runs[2];
  {
    canfd::Adapter a = canfd::Adapter::open(pid, bid);
    for (uint8_t p : {1, 2}) a.port(p).set_bit_timing(kTiming);
    for (int k = 0; k < 2; ++k)
      direct_runs[k] = measured([&] { return direct(a, workloads[k], frames); });
  }

  char bid_hex[16];
  snprintf(bid_hex, sizeof bid_hex, "%08X", bid);
  const std::string if1 = std::string("canfd") + bid_hex + "-1";
  const std::string if2 = std::string("canfd") + bid_hex + "-2";
  Child bridge = Child::spawn(
      {"/bin/sh", "-c",
       std::string("exec ") + argv[1] + " -d " + bid_hex + " --bitrate 1M --data-bitrate 2M 2>&1"});
  std::string line;
  while (line.find("bridging") == std::string::npos)
    if (!bridge.out.next(line, 30000)) die("the bridge did not start");

  const int tx = can_socket(if1), rx = can_socket(if2);
  for (int k = 0; k < 2; ++k)
    bridged_runs[k] = measured([&] { return bridged(tx, rx, workloads[k], frames); });
  std::vector<double> lib_us, sock_us;
  {
    canfd::Adapter a = canfd::Adapter::open(pid, bid);
    latency(a, rx, latency_frames, lib_us, sock_us);
  }
  close(tx);
  close(rx);
  kill(bridge.pid, SIGTERM);
  std::string rest;
  while (bridge.out.next(line, 5000)) rest += "  " + line + "\n";
  const bool clean = bridge.wait(5000) && bridge.exited_zero();

  bool ok = clean;
  printf(
      "Frames per second from port 1 to port 2 (%u frames each; 1 Mbit/s, data phase 2 "
      "Mbit/s):\n\n",
      frames);
  printf("| %-26s | %-19s | %-19s | %-7s |\n", "frames", "frame interface", "through the bridge",
         "ratio");
  printf("|----------------------------|---------------------|---------------------|---------|\n");
  for (int k = 0; k < 2; ++k) {
    const Run &d = direct_runs[k], &b = bridged_runs[k];
    printf("| %-26s | %9.0f frames/s | %9.0f frames/s | %7.2f |\n", workloads[k].name, d.fps(),
           b.fps(), d.fps() > 0 ? b.fps() / d.fps() : 0);
    // Frames lost are told (uhid drops reports when canfd-sim falls behind
    // under emulation); frames twice or out of order are a failure.
    const auto check = [&](const char *path, const Run &r) {
      if (r.received != frames)
        printf("  %s, %s: %llu of %u frames received (uhid dropped reports %d times)\n",
               workloads[k].name, path, static_cast<unsigned long long>(r.received), frames,
               r.uhid_drops);
      if (!r.in_order) {
        printf("  %s, %s: frames twice or out of order\n", workloads[k].name, path);
        ok = false;
      }
    };
    check("frame interface", d);
    check("bridge", b);
  }
  printf(
      "\nLatency from the adapter's time stamp (in host time) to the reader, single frames:\n\n");
  printf("| %-44s | count | min us  | med us  | p99 us  | max us  |\n", "reader");
  printf(
      "|----------------------------------------------|-------|---------|---------|---------|"
      "---------|\n");
  row("library, CANFD_ReceiveCANFrames", lib_us);
  row("socket on the bridge's interface, recv()", sock_us);
  if (!clean)
    printf("\nthe bridge did not stop cleanly on SIGTERM (%s):\n%s", bridge.how_it_ended().c_str(),
           rest.c_str());
  return ok ? 0 : 1;
}
