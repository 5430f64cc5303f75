// Seeds for the fuzz targets from recorded traffic: the reports a simulated
// adapter sent (logs of canfd-fuzz-record or canfd-soak --record) and the
// arguments the tool's tests gave the tool (a directory of invocations, a
// file each, each argument ended by a NUL byte). Each seed is an input in
// its target's format, written to OUT/<name>/<content hash>.
// Usage: canfd-fuzz-seeds OUT [--reports LOG]... [--args DIR]...
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz.h"
#include "report_log.h"
#include "wire.h"

namespace {

namespace w = canfd::wire;
using canfd_fuzz::Output;
using Bytes = std::vector<uint8_t>;

std::map<std::string, std::set<Bytes>> seeds;

void add(const std::string &target, const Output &o) { seeds[target].insert(o.data()); }

std::string hash_name(const Bytes &b) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (uint8_t c : b) h = (h ^ c) * 1099511628211ull;
  char name[17];
  snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(h));
  return name;
}

constexpr uint32_t kRecord = w::kRxRecordSize;

// ---- Reports ------------------------------------------------------------------

// fuzz_dispatch: the answers' state, both ports empty, then the report. An
// answer meets the command that waits for it.
void dispatch_seed(const Bytes &r) {
  Output o;
  const bool answer = r[0] == CANFD_OP_DONE || r[0] == CANFD_OP_FAIL;
  if (answer) {
    const bool write = w::get_le16(r.data() + w::kHdrLen) == 0;
    o.u8(4).u8(write ? 3 : 2).u16(w::get_le16(r.data() + w::kHdrFc));
  } else {
    o.u8(0);
  }
  for (int port = 0; port < 2; ++port) o.u8(0).u32(0).range(0, kRecord - 1, 0).u8(0);
  o.range(1, CANFD_REPORT_SIZE, static_cast<uint32_t>(r.size())).bytes(r.data(), r.size());
  add("dispatch", o);
}

// fuzz_answers: the read command the answer belongs to, then the answer.
void answers_seed(const Bytes &r) {
  const WORD code = w::get_le16(r.data() + w::kHdrFc);
  const BYTE port = w::fc::port_of(code), cmd = w::fc::command_of(code);
  // The target's kinds: firmware version, INIT pin, frames per second,
  // hardware-send mode, mode, status, bit rates, global filter, the filter
  // halves.
  int kind;
  if (port == 0)
    kind = cmd == w::fc::kInitPin ? 1 : 0;
  else if (cmd == w::fc::kReadRxFps)
    kind = 2;
  else if (cmd == w::fc::kReadHwSendMode)
    kind = 3;
  else if (cmd <= w::fc::kReadExtFilters + 1)
    kind = 4 + cmd;
  else
    kind = 0;
  Output o;
  o.u8(static_cast<uint8_t>(kind));
  o.range(CANFD_HEADER_SIZE, CANFD_PACKET_MAX, static_cast<uint32_t>(r.size()));
  o.bytes(r.data(), r.size());
  add("answers", o);
}

// fuzz_stream: a ring of eight records that starts near its end, the
// packets of one port's stream with takes between them.
void stream_seeds(const std::vector<Bytes> &payloads) {
  for (size_t first = 0; first < payloads.size(); first += 12) {
    Output o;
    const uint32_t size = 8 * kRecord;
    o.range(kRecord / 2, 8 * kRecord, size).range(0, size, size - kRecord);
    o.range(0, size - 1, size - 37).u32(1700000000);
    for (size_t i = first; i < payloads.size() && i < first + 12; ++i) {
      const Bytes &p = payloads[i];
      o.u8(0).range(0, CANFD_REPORT_SIZE - CANFD_HEADER_SIZE, static_cast<uint32_t>(p.size()));
      o.bytes(p.data(), p.size());
      o.u8(i % 3 == 0 ? 2 : static_cast<uint8_t>(3 | (i % 8) << 3));
    }
    add("stream", o);
  }
}

// fuzz_tx: the frames received, sent again through both paths.
void tx_seeds(const std::vector<CANFD_Frame_St> &frames) {
  for (size_t first = 0; first < frames.size(); first += 14) {
    const size_t end = std::min(frames.size(), first + 14);
    Output batches;
    batches.u8(0).u8(static_cast<uint8_t>(first & 1));
    for (size_t i = first; i < end; i += 7) {
      const size_t n = std::min<size_t>(7, end - i);
      batches.range(1, w::kTxRecordsPerPacket, static_cast<uint32_t>(n));
      for (size_t k = i; k < i + n; ++k) {
        const CANFD_Frame_St &f = frames[k];
        batches.u8(f.flags).u32(f.id).range(0, 72, f.len).bytes(f.data, f.len);
      }
    }
    add("tx", batches);
    Output calls;
    const uint32_t size = 12 * w::kTxRecordSize;
    calls.u8(1).u8(static_cast<uint8_t>(first & 1)).range(w::kTxRecordSize / 2, size, size);
    calls.range(0, size, size - w::kTxRecordSize).range(0, size - 1, size - 100);
    for (size_t i = first; i < end; ++i) {
      const CANFD_Frame_St &f = frames[i];
      const bool fd = f.flags & CANFD_FRAME_FD;
      const BYTE dlc = fd ? w::bytes_to_dlc(f.len) : f.len;
      calls.u8(static_cast<uint8_t>(1 | (f.flags & CANFD_FRAME_EXT ? 2 : 0) |
                                    (f.flags & CANFD_FRAME_RTR ? 4 : 0) | (fd ? 8 : 0) |
                                    (i % 3 == 2 ? 0x10 : 0)));
      calls.u32(f.id).u8(dlc).bytes(f.data, w::kDlcToBytes[dlc]);
    }
    calls.u8(0x10);
    add("tx", calls);
  }
}

// fuzz_reports (end to end): [length][action][report]; 0xFF stands for a
// whole report of 513 bytes.
void reports_seeds(const std::vector<Bytes> &reports) {
  for (size_t first = 0; first < reports.size(); first += 8) {
    Output o;
    for (size_t i = first; i < reports.size() && i < first + 8; ++i) {
      Bytes r = reports[i];
      const bool whole = r.size() > 254;
      if (whole) r.resize(CANFD_REPORT_SIZE);
      o.u8(whole ? 0xFF : static_cast<uint8_t>(r.size())).u8(static_cast<uint8_t>(2 * (i % 6)));
      o.bytes(r.data(), r.size());
    }
    add("reports", o);
  }
}

void from_reports(const std::vector<Bytes> &reports) {
  std::vector<Bytes> payloads[2];
  std::vector<CANFD_Frame_St> frames;
  std::vector<Bytes> kept;
  for (const Bytes &r : reports) {
    if (r.size() < CANFD_HEADER_SIZE) continue;
    const size_t len = w::get_le16(r.data() + w::kHdrLen);
    const WORD code = w::get_le16(r.data() + w::kHdrFc);
    if (r[0] == CANFD_OP_DONE || r[0] == CANFD_OP_FAIL) {
      dispatch_seed(r);
      answers_seed(r);
      kept.push_back(r);
    } else if (r[0] == CANFD_OP_LARGE &&
               (code == w::fc::frames_from(1) || code == w::fc::frames_from(2)) &&
               len + CANFD_HEADER_SIZE <= r.size()) {
      dispatch_seed(r);
      payloads[code - w::fc::frames_from(1)].emplace_back(r.begin() + CANFD_HEADER_SIZE,
                                                          r.begin() + CANFD_HEADER_SIZE + len);
      for (size_t off = 0; off + kRecord <= len; off += kRecord) {
        CANFD_Frame_St f;
        w::decode_frame(r.data() + CANFD_HEADER_SIZE + off, f);
        frames.push_back(f);
      }
      kept.push_back(r);
    }
  }
  stream_seeds(payloads[0]);
  stream_seeds(payloads[1]);
  tx_seeds(frames);
  reports_seeds(kept);
}

// ---- The tool's arguments -------------------------------------------------------

// fuzz_tool_args: which parser, then the text.
void tool_arg(uint8_t which, const std::string &text) {
  Output o;
  o.u8(which).text(text);
  add("tool_args", o);
}

// fuzz_filters: an identifier list as the tool's ranges give it.
void filter_seed(const std::string &text, bool ext) {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    const size_t dash = item.find('-');
    const uint32_t a = static_cast<uint32_t>(strtoul(item.substr(0, dash).c_str(), nullptr, 16));
    const uint32_t b =
        dash == std::string::npos
            ? a
            : static_cast<uint32_t>(strtoul(item.substr(dash + 1).c_str(), nullptr, 16));
    ranges.emplace_back(a, b);
    at = comma + 1;
  }
  const uint32_t max = ext ? w::kExtFilterElements : w::kStdFilterElements;
  if (ranges.size() > max) ranges.resize(max);
  Output o;
  o.u8(ext ? 2 : 0).range(0, max, static_cast<uint32_t>(ranges.size()));
  for (int side = 0; side < 2; ++side)
    for (const auto &r : ranges)
      ext ? o.u32(side ? r.second : r.first)
          : o.u16(static_cast<uint16_t>(side ? r.second : r.first));
  // Frames at the ranges' bounds.
  for (size_t i = 0; i < ranges.size() && i < 8; ++i) o.u8(ext ? 5 | (i & 1) << 3 : 4).u32(0);
  add("filters", o);
}

void from_args(const std::vector<std::string> &args) {
  static const std::set<std::string> commands = {"list", "info", "config", "send",
                                                 "dump", "gen",  "reset"};
  std::string command;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    const std::string next = i + 1 < args.size() ? args[i + 1] : "";
    if (command.empty() && commands.count(a)) {
      command = a;
      continue;
    }
    if (a.find('#') != std::string::npos) {  // a frame, as cansend writes it
      Output o;
      o.text(a);
      add("frame_text", o);
      continue;
    }
    if (a == "--bitrate" || a == "--data-bitrate")
      tool_arg(1, next);
    else if (a == "--sample-point" || a == "--data-sample-point")
      tool_arg(2, next);
    else if (a == "--time")
      tool_arg(3, next);
    else if (a == "--std-filter" || a == "--ext-filter") {
      const bool ext = a == "--ext-filter";
      tool_arg(ext ? 0x14 : 4, next);
      if (next != "none") filter_seed(next, ext);
    } else if (a == "--serial")
      tool_arg(0x30, next);
    else if (a == "-d" || a == "--device")
      tool_arg(8, next);
    else if (command == "gen" && (a == "-I" || a == "--id"))
      tool_arg(5 | 1 << 4, next);
    else if (command == "gen" && (a == "-L" || a == "--len"))
      tool_arg(5 | 3 << 4, next);
    else if (command == "gen" && (a == "-D" || a == "--data"))
      tool_arg(5 | 4 << 4, next);
    else if (!a.empty() && a.size() <= 3 &&
             a.find_first_not_of("0123456789-") == std::string::npos &&
             (command == "info" || command == "config" || command == "dump"))
      tool_arg(9, std::string(1, static_cast<char>(atoi(a.c_str()))));
  }
}

// One invocation: each argument ended by a NUL byte.
std::vector<std::string> read_args(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  const std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<std::string> args;
  size_t at = 0;
  for (size_t nul; (nul = all.find('\0', at)) != std::string::npos; at = nul + 1)
    args.push_back(all.substr(at, nul - at));
  return args;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s OUT [--reports LOG]... [--args DIR]...\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string what = argv[i], path = argv[i + 1];
    if (what == "--reports") {
      from_reports(canfd_fuzz::read_report_log(path));
    } else if (what == "--args") {
      // A directory of invocations.
      DIR *dir = opendir(path.c_str());
      while (const dirent *e = dir != nullptr ? readdir(dir) : nullptr)
        if (e->d_name[0] != '.') from_args(read_args(path + "/" + e->d_name));
      if (dir != nullptr) closedir(dir);
    } else {
      fprintf(stderr, "%s: unknown option %s\n", argv[0], what.c_str());
      return 2;
    }
  }
  mkdir(out.c_str(), 0755);
  for (const auto &[target, inputs] : seeds) {
    const std::string dir = out + "/" + target;
    mkdir(dir.c_str(), 0755);
    for (const Bytes &b : inputs) {
      std::ofstream f(dir + "/" + hash_name(b), std::ios::binary);
      f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    printf("%-12s %zu seeds\n", target.c_str(), inputs.size());
  }
  return 0;
}
