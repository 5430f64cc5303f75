// Soak run: both ports at full load in both directions, at the pace of a USB
// adapter on its bus (the simulated adapter's timing model: 8000 reports a
// second each way, 1 Mbit/s, data phase 5 Mbit/s), several writers and
// readers per port, commands in between. Every frame carries its writer, a
// sequence number and a checksum; the run ends with a summary of what was
// sent, received, dropped and corrupted. With --record, the reports the
// adapter sends are recorded too (the fuzz targets' seeds).
// Usage: canfd-soak [seconds] [--record LOG]
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "canfd.h"
#include "fuzz/report_log.h"
#include "sim.h"
#include "wire.h"

namespace {

namespace wire = canfd::wire;

constexpr int kWritersPerPort = 2;
constexpr int kReadersPerPort = 2;
constexpr int kWriters = 2 * kWritersPerPort;

std::atomic<bool> stop{false};
std::atomic<uint64_t> sent{0}, received{0}, corrupted{0}, commands{0}, command_errors{0};
std::atomic<uint64_t> queue_full{0};

uint32_t checksum(const BYTE *p, size_t n) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

// Identifier: writer in bits 27-28, sequence in bits 0-26. Payload: the
// sequence (4 bytes), filler, and a checksum of the rest and the identifier.
DWORD frame_id(BYTE writer, uint32_t seq) {
  return static_cast<DWORD>(writer) << 27 | (seq & 0x7FFFFFF);
}

void writer(WORD h, BYTE port, BYTE id) {
  BYTE data[64];
  for (uint32_t seq = 0; !stop; ++seq) {
    const bool fd = seq % 3 == 0;
    const BYTE dlc = fd ? 15 : 8;
    const size_t n = wire::kDlcToBytes[dlc];
    wire::put_le32(data, seq);
    for (size_t i = 4; i < n - 4; ++i) data[i] = static_cast<BYTE>(seq * 31 + i);
    wire::put_le32(data + n - 4, checksum(data, n - 4) ^ frame_id(id, seq));
    for (;;) {
      const int rc = CANFD_SetCANTxMsg(h, port, 1, frame_id(id, seq), 0, fd, dlc, data);
      if (rc == 0) break;
      if (rc != CANFD_ERR_TX_QUEUE_FULL || stop) {
        if (rc != CANFD_ERR_TX_QUEUE_FULL) fprintf(stderr, "send failed: 0x%X\n", rc);
        return;
      }
      queue_full.fetch_add(1, std::memory_order_relaxed);
      // The bus takes a frame every 100 us or so: spinning here would only
      // take the CPU from the library's workers.
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    sent.fetch_add(1, std::memory_order_relaxed);
  }
}

void reader(WORD h, BYTE port) {
  int64_t last[kWriters];
  for (auto &l : last) l = -1;
  BYTE type, mode, rtr, fdf, dlc, data[64];
  DWORD id, s, us;
  for (;;) {
    const int rc = CANFD_GetCANRxMsg(h, port, &type, &mode, &id, &rtr, &fdf, &dlc, data, &s, &us);
    if (rc == CANFD_ERR_RX_BUF_EMPTY) {
      if (stop) return;
      CANFD_WaitCANRxMsg(h, port, 10);
      continue;
    }
    if (rc != 0) return;
    received.fetch_add(1, std::memory_order_relaxed);
    const size_t n = wire::kDlcToBytes[dlc];
    const BYTE w = static_cast<BYTE>(id >> 27);
    const uint32_t seq = wire::get_le32(data);
    const bool ok = mode == 1 && n >= 8 && w < kWriters && id == frame_id(w, seq) &&
                    wire::get_le32(data + n - 4) == (checksum(data, n - 4) ^ id) &&
                    static_cast<int64_t>(seq) > last[w];
    if (!ok) {
      corrupted.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    last[w] = seq;
  }
}

void commander(WORD h) {
  while (!stop) {
    WORD fw = 0;
    DWORD a, b, c;
    int rc = CANFD_GetFwVer(h, &fw);
    rc |= CANFD_GetCANStatus(h, 1 + commands % 2, &a, &b, &c);
    rc |= CANFD_SetLEDState(h, commands % 2);
    commands.fetch_add(3, std::memory_order_relaxed);
    if (rc != 0) command_errors.fetch_add(1, std::memory_order_relaxed);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = 60;
  const char *record_log = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--record") == 0 && i + 1 < argc)
      record_log = argv[++i];
    else
      seconds = atoi(argv[i]);
  }
  canfd_sim::Sandbox sandbox;
  canfd_sim::Adapter &adapter = sandbox.add({});
  adapter.set_recording(false);
  canfd_sim::Timing timing;
  timing.on = true;
  adapter.set_timing(timing);
  // A few thousand reports of each kind are plenty of seeds; the recorder
  // then lets the node go.
  std::unique_ptr<canfd_fuzz::ReportRecorder> recorder;
  if (record_log != nullptr) {
    recorder = std::make_unique<canfd_fuzz::ReportRecorder>(
        "/dev/hidraw" + std::to_string(adapter.hidraw()), record_log, 20000);
    if (!recorder->ok()) {
      perror(record_log);
      return 2;
    }
  }
  WORD h = 0;
  if (CANFD_OpenDevice(&h, 0x0E31, 0x1234ABCD) != 0) {
    fprintf(stderr,
            "canfd-soak: cannot open the simulated adapter (run with the sandbox preload)\n");
    return 2;
  }
  for (BYTE port = 1; port <= 2; ++port) {
    CANFD_SetCANADBaudRate(h, port, 1000000, 5000000, 8000, 7500);
    CANFD_SetCANOPMode(h, port, 1, 0, 1);
  }
  printf("soak: %d s, %d writers and %d readers per port, commands every 10 ms\n", seconds,
         kWritersPerPort, kReadersPerPort);
  std::vector<std::thread> threads;
  for (BYTE port = 1; port <= 2; ++port) {
    for (int i = 0; i < kWritersPerPort; ++i)
      threads.emplace_back(writer, h, port, static_cast<BYTE>((port - 1) * kWritersPerPort + i));
    for (int i = 0; i < kReadersPerPort; ++i) threads.emplace_back(reader, h, port);
  }
  threads.emplace_back(commander, h);
  const auto t0 = std::chrono::steady_clock::now();
  for (int s = 1; s <= seconds; ++s) {
    std::this_thread::sleep_until(t0 + std::chrono::seconds(s));
    if (s % 10 == 0 || s == seconds)
      printf("  %4d s: sent %llu received %llu\n", s, static_cast<unsigned long long>(sent.load()),
             static_cast<unsigned long long>(received.load()));
    fflush(stdout);
  }
  stop = true;
  for (auto &t : threads) t.join();
  // What the adapter handed over but nobody took was dropped by a full ring.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const uint64_t to_host = adapter.tx_frames_received(1) + adapter.tx_frames_received(2);
  const uint64_t not_delivered = adapter.frames_dropped();
  DWORD left1 = 0, left2 = 0;
  CANFD_GetCANRxMsgCount(h, 1, &left1);
  CANFD_GetCANRxMsgCount(h, 2, &left2);
  const uint64_t got = received.load() + left1 + left2;
  const uint64_t ring_drops = to_host - not_delivered > got ? to_host - not_delivered - got : 0;
  CANFD_CloseDevice(h);
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("frames sent             %llu (%.0f/s)\n", static_cast<unsigned long long>(sent.load()),
         sent.load() / secs);
  printf("frames received         %llu (+%u left in the rings)\n",
         static_cast<unsigned long long>(received.load()), left1 + left2);
  printf("dropped: ring full      %llu\n", static_cast<unsigned long long>(ring_drops));
  printf("dropped: transport      %llu\n", static_cast<unsigned long long>(not_delivered));
  printf("corrupted               %llu\n", static_cast<unsigned long long>(corrupted.load()));
  printf("queue-full retries      %llu\n", static_cast<unsigned long long>(queue_full.load()));
  printf("commands                %llu (%llu failed)\n",
         static_cast<unsigned long long>(commands.load()),
         static_cast<unsigned long long>(command_errors.load()));
  printf("peak memory             %ld KiB\n", ru.ru_maxrss);
  const bool ok = corrupted == 0 && command_errors == 0 && sent == to_host;
  if (recorder) printf("reports recorded        %zu (%s)\n", recorder->count(), record_log);
  printf("%s\n", ok ? "soak: OK" : "soak: FAILED");
  return ok ? 0 : 1;
}
