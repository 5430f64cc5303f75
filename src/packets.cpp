// Packet builders: the 6-byte header and the read, write and large-data
// packets that every request and frame packet starts from.
#include <cstring>

#include "canfd_comm.h"
#include "wire.h"

namespace {

// Packet builders: zero the packet, write the header, copy the data.
int pack_packet(BYTE opcode, WORD fc, WORD len, const BYTE *data, BYTE *pkt) {
  std::memset(pkt, 0, static_cast<size_t>(len) + CANFD_HEADER_SIZE);
  AppendProtocolHeader(opcode, fc, len, pkt);
  if (len != 0) std::memcpy(pkt + CANFD_HEADER_SIZE, data, len);
  return len + CANFD_HEADER_SIZE;
}

}  // namespace

extern "C" {

void AppendProtocolHeader(BYTE byOPCode, WORD wFCCode, WORD wDataLen, BYTE *byPkt) {
  canfd::wire::put_header(byPkt, byOPCode, wFCCode, wDataLen);
}

int PackReadPacket(WORD wFCCode, WORD wDataLen, BYTE *byData, BYTE *byPkt) {
  return pack_packet(CANFD_OP_READ, wFCCode, wDataLen, byData, byPkt);
}

int PackWritePacket(WORD wFCCode, WORD wDataLen, BYTE *byData, BYTE *byPkt) {
  return pack_packet(CANFD_OP_WRITE, wFCCode, wDataLen, byData, byPkt);
}

int PackLargeDataPacket(WORD wFCCode, WORD wDataLen, BYTE *byData, BYTE *byPkt) {
  return pack_packet(CANFD_OP_LARGE, wFCCode, wDataLen, byData, byPkt);
}

}  // extern "C"
