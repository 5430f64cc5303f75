// Fuzz target: transmit packing. Two paths take frames to frame packets:
// - the one-frame call encodes each frame into a record in the port's
//   transmit ring (small here: size, capacity and start from the input) and
//   takes what the ring holds, up to seven records, into a packet;
// - the frame interface checks frames and encodes up to seven into one
//   packet.
// Invariants: a packet is a frame packet to its port with a whole number of
// records, at most seven, in the order the frames came; each record is the
// frame as the contract gives it (identifier masked, DLC clamped, data after
// the byte count zero), and the simulated adapter's bus turns it into a
// received record that decodes to the same frame. A frame of the frame
// interface is valid exactly when its flags, identifier and length allow it.
#include <deque>
#include <vector>

#include "fuzz.h"
#include "internal.h"
#include "model.h"

namespace {

namespace core = canfd::core;
namespace w = canfd::wire;
namespace model = canfd_sim::model;
using canfd_fuzz::Input;
using TxRecord = std::vector<BYTE>;

constexpr DWORD kTx = w::kTxRecordSize;

// A frame as the adapter delivers it on the other port: the transmitted
// record through the bus, decoded.
CANFD_Frame_St over_the_bus(const BYTE *tx) {
  BYTE rx[w::kRxRecordSize];
  model::tx_to_rx(tx, 0, 0, rx);
  CANFD_Frame_St f;
  std::memset(&f, 0, sizeof f);
  w::decode_frame(rx, f);
  return f;
}

void check_packet(const BYTE *packet, int len, BYTE port, size_t records) {
  FUZZ_CHECK(packet[w::kHdrOpcode] == CANFD_OP_LARGE && packet[w::kHdrOpcode + 1] == 0);
  FUZZ_CHECK(w::get_le16(packet + w::kHdrFc) == w::fc::frames_to(port));
  FUZZ_CHECK(w::get_le16(packet + w::kHdrLen) == records * kTx);
  FUZZ_CHECK(len == static_cast<int>(records * kTx + CANFD_HEADER_SIZE));
  FUZZ_CHECK(records <= w::kTxRecordsPerPacket);
}

// The one-frame call's frame: what its record must say.
void check_tx_record(const w::TxFrame &f, const BYTE *rec) {
  const bool ext = f.mode != 0, fd = f.fdf != 0;
  const BYTE dlc = fd ? (f.dlen > 15 ? 15 : f.dlen) : (f.dlen > 8 ? 8 : f.dlen);
  const BYTE bytes = w::kDlcToBytes[dlc];
  const CANFD_Frame_St g = over_the_bus(rec);
  FUZZ_CHECK(g.id == (ext ? f.id & w::kIdMask : f.id & w::kStdIdMask));
  const bool rtr = f.rtr && !fd;
  FUZZ_CHECK(g.flags == ((ext ? CANFD_FRAME_EXT : 0) | (rtr ? CANFD_FRAME_RTR : 0) |
                         (fd ? CANFD_FRAME_FD : 0) | (fd && dlc ? CANFD_FRAME_BRS : 0)));
  FUZZ_CHECK(w::get_le16(rec + w::kRecCtrl) >> w::kEveShift == 0);
  FUZZ_CHECK(w::get_le16(rec + w::kRecSize) == bytes);
  FUZZ_CHECK(g.len == (rtr ? dlc : bytes));
  // The record carries the frame's data bytes, zeros after them; a remote
  // frame's data arrive as nothing.
  FUZZ_CHECK(std::memcmp(rec + w::kRecData, f.data, bytes) == 0);
  for (int i = bytes; i < w::kMaxData; ++i) FUZZ_CHECK(rec[w::kRecData + i] == 0);
}

// The frame interface's contract: a frame is sent as it is, its CAN FD
// length padded with zeros to the next DLC length.
void check_frame_record(const CANFD_Frame_St &f, const BYTE *rec) {
  const bool fd = f.flags & CANFD_FRAME_FD, rtr = f.flags & CANFD_FRAME_RTR;
  const BYTE len = fd ? w::kDlcToBytes[w::bytes_to_dlc(f.len)] : f.len;
  const CANFD_Frame_St g = over_the_bus(rec);
  FUZZ_CHECK(g.id == f.id && g.flags == f.flags && g.len == len);
  const BYTE data = rtr ? 0 : f.len;
  FUZZ_CHECK(std::memcmp(g.data, f.data, data) == 0);
  for (int i = data; i < w::kMaxData; ++i) FUZZ_CHECK(g.data[i] == 0);
}

bool valid(const CANFD_Frame_St &f) {
  const BYTE known =
      CANFD_FRAME_EXT | CANFD_FRAME_RTR | CANFD_FRAME_FD | CANFD_FRAME_BRS | CANFD_FRAME_ESI;
  if (f.flags & ~known) return false;
  if (f.flags & CANFD_FRAME_EXT ? f.id > 0x1FFFFFFF : f.id > 0x7FF) return false;
  if (f.flags & CANFD_FRAME_FD) return !(f.flags & CANFD_FRAME_RTR) && f.len <= 64;
  return !(f.flags & (CANFD_FRAME_BRS | CANFD_FRAME_ESI)) && f.len <= 8;
}

canfd_fuzz::Exact<w::kMaxData> data_buffer;
canfd_fuzz::Exact<w::kTxRecordsPerPacket * sizeof(CANFD_Frame_St)> frames_buffer;

void one_frame_calls(Input &in) {
  const BYTE port = in.flag() ? 2 : 1;
  const DWORD ring_size = in.range(kTx / 2, 12 * kTx);
  const DWORD capacity = in.range(0, ring_size);
  DWORD start = in.range(0, ring_size - 1), end = start, count = 0;
  std::vector<BYTE> storage(ring_size);
  const core::Ring ring{storage.data(), ring_size, capacity, &start, &end, &count};
  std::deque<TxRecord> queued;
  while (!in.empty()) {
    const uint8_t op = in.u8();
    if (op & 1) {  // a frame into the ring
      w::TxFrame f;
      f.mode = op & 2;
      f.rtr = op & 4;
      f.fdf = op & 8;
      f.id = in.u32();
      f.dlen = in.u8() % 20;
      // The data the caller must provide for its DLC, exactly.
      const BYTE given = w::kDlcToBytes[f.dlen > 15 ? 15 : f.dlen];
      BYTE *bytes = data_buffer.open(given);
      std::memset(bytes, 0, given);
      in.take(bytes, given);
      f.data = bytes;
      TxRecord rec(kTx);
      const int n = w::encode_tx_record(f, w::TxKind::Normal, rec.data());
      FUZZ_CHECK(n == w::get_le16(rec.data() + w::kRecSize));
      check_tx_record(f, rec.data());
      const bool fits = (queued.size() + 1) * kTx <= capacity;
      FUZZ_CHECK(core::ring_write(ring, rec.data(), kTx) == (fits ? static_cast<int>(kTx) : -1));
      if (fits) queued.push_back(rec);
    }
    if (op & 0x10) {  // what the ring holds into a packet
      BYTE packet[CANFD_PACKET_MAX];
      const int len = core::take_tx_packet(ring, port, packet);
      const size_t records = queued.size() < 7 ? queued.size() : 7;
      if (records == 0) {
        FUZZ_CHECK(len == 0);
        continue;
      }
      check_packet(packet, len, port, records);
      for (size_t k = 0; k < records; ++k) {
        FUZZ_CHECK(std::memcmp(packet + CANFD_HEADER_SIZE + k * kTx, queued.front().data(), kTx) ==
                   0);
        queued.pop_front();
      }
    }
    FUZZ_CHECK(*ring.count == queued.size() * kTx);
  }
}

void frame_batches(Input &in) {
  const BYTE port = in.flag() ? 2 : 1;
  while (!in.empty()) {
    const DWORD n = in.range(1, w::kTxRecordsPerPacket);
    // Exactly n frames on the heap.
    auto *frames =
        reinterpret_cast<CANFD_Frame_St *>(frames_buffer.open(n * sizeof(CANFD_Frame_St)));
    bool all_valid = true;
    for (DWORD k = 0; k < n; ++k) {
      CANFD_Frame_St &f = frames[k];
      std::memset(&f, 0, sizeof f);
      const uint8_t shape = in.u8();
      f.flags = shape & 0x40 ? in.u8() : shape & 0x1F;
      f.id = shape & 0x80 ? in.u32() : in.u32() & (f.flags & CANFD_FRAME_EXT ? 0x1FFFFFFF : 0x7FF);
      f.len = static_cast<BYTE>(in.range(0, 72));
      in.take(f.data, f.len < w::kMaxData ? f.len : w::kMaxData);
      FUZZ_CHECK(w::frame_valid(f) == valid(f));
      all_valid = all_valid && valid(f);
    }
    if (!all_valid) continue;  // the call refuses the batch
    BYTE packet[CANFD_PACKET_MAX];
    const int len = core::pack_frame_batch(port, frames, n, packet);
    check_packet(packet, len, port, n);
    for (DWORD k = 0; k < n; ++k)
      check_frame_record(frames[k], packet + CANFD_HEADER_SIZE + k * kTx);
  }
}

}  // namespace

// Input: which path, then its frames.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  if (in.flag())
    one_frame_calls(in);
  else
    frame_batches(in);
  return 0;
}
