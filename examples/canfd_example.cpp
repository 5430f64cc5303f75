// libcanfd from C++, through the header-only interface canfd.hpp: lists the
// attached adapters, opens the first, sets the bit rates of both ports,
// sends a few classic and CAN FD frames on port 1 and reads the frames that
// arrive on port 2. Wire the two ports to one bus (the simulated adapter of
// canfd-sim has them on one), or let other nodes send.
#include <canfd.hpp>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <vector>

int main() {
  try {
    const std::vector<canfd::DeviceInfo> adapters = canfd::scan();
    if (adapters.empty()) {
      std::fprintf(stderr, "no adapter found\n");
      return 1;
    }
    for (const canfd::DeviceInfo &d : adapters)
      std::printf("%s: PID %04X BID %08X\n", d.node().c_str(), d.pid, static_cast<unsigned>(d.bid));

    canfd::Adapter adapter = canfd::Adapter::open(adapters.front());
    std::printf("opened %s, firmware %04X\n", adapters.front().node().c_str(),
                adapter.firmware_version());

    canfd::Port tx = adapter.port(1), rx = adapter.port(2);
    // 500 kbit/s arbitration phase at 80 %, 2 Mbit/s data phase at 75 %.
    for (canfd::Port *p : {&tx, &rx}) {
      p->set_bit_timing({500000, 2000000, 8000, 7500});
      p->clear_rx();
    }
    const canfd::BitTiming t = rx.bit_timing();
    std::printf("port 2: %u bit/s, data phase %u bit/s\n", static_cast<unsigned>(t.bitrate),
                static_cast<unsigned>(t.data_bitrate));

    // A classic frame, an extended-identifier one and a 64-byte CAN FD frame.
    canfd::Frame classic;
    classic.id = 0x100;
    classic.dlc = 8;
    for (size_t i = 0; i < 8; ++i) classic.data[i] = static_cast<uint8_t>(0x11 * (i + 1));
    canfd::Frame extended = classic;
    extended.id = 0x18DAF110;
    extended.extended = true;
    canfd::Frame fd;
    fd.id = 0x200;
    fd.fd = true;
    fd.dlc = 15;
    for (size_t i = 0; i < fd.data.size(); ++i) fd.data[i] = static_cast<uint8_t>(i);
    for (const canfd::Frame &f : {classic, extended, fd}) tx.send(f);
    std::printf("port 1: sent 3 frames\n");

    int received = 0;
    while (rx.wait(std::chrono::milliseconds(500))) {
      while (std::optional<canfd::Frame> f = rx.receive()) {
        std::printf("port 2: %u.%06u %s %0*X [%zu]", static_cast<unsigned>(f->time.sec),
                    static_cast<unsigned>(f->time.usec), f->fd ? "FD" : "CAN", f->extended ? 8 : 3,
                    static_cast<unsigned>(f->id), f->size());
        for (size_t i = 0; i < f->size() && !f->remote; ++i) std::printf(" %02X", f->data[i]);
        std::printf("\n");
        ++received;
      }
    }
    std::printf("received %d frame(s)\n", received);
    return received > 0 ? 0 : 1;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
