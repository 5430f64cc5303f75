// The adapter's command set and frame handling, free of any transport: what
// each request does to the adapter's settings and what it answers, how a
// transmitted frame becomes a received one, and the acceptance filters.
#ifndef CANFD_SIM_MODEL_H
#define CANFD_SIM_MODEL_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim.h"

namespace canfd_sim::model {

struct Answer {
  bool done = true;  // '!' when true, '?' otherwise
  uint8_t code = 0;  // error code of a '?' answer
  std::vector<uint8_t> data;
};

// Carries out a read request.
Answer read_command(const ModuleState &s, uint16_t fc);
// Carries out a write request on s.
Answer write_command(ModuleState &s, uint16_t fc, const uint8_t *data, size_t len);

// The packet of an answer: opcode, 0, fc, data length, data.
std::vector<uint8_t> answer_packet(uint16_t fc, const Answer &a);

// Turns a 72-byte transmitted-frame record into an 80-byte received-frame
// record stamped with the given time.
void tx_to_rx(const uint8_t *tx, uint32_t sec, uint32_t usec, uint8_t *rx);

// Whether a port with settings p accepts a received-frame record.
bool accepts(const PortState &p, const uint8_t *rx);

// Whether a port's hardware-send record has been set (any byte non-zero).
bool hw_record_set(const PortState &p);

}  // namespace canfd_sim::model

#endif  // CANFD_SIM_MODEL_H
