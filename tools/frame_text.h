// Frames as text: the compact form that cansend takes and candump -L writes
// (123#DEADBEEF, 12345678#R, 123##1112233), and candump's default layout.
#ifndef CANFD_TOOL_FRAME_TEXT_H
#define CANFD_TOOL_FRAME_TEXT_H

#include <stdexcept>
#include <string>
#include <string_view>

#include "canfd.hpp"

namespace canfd_tool {

// A frame that does not parse; what() says why.
class FrameSyntaxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses <id>#<data>, <id>#R[len] or <id>##<flags><data> as cansend does: 3
// hex digits for a standard identifier, 8 for an extended one; data as hex
// byte pairs, optionally separated by dots; flags 1 = BRS, 2 = ESI. A CAN FD
// payload whose length has no DLC of its own is padded with zeros to the
// next one. Refuses error frames, classic DLC codes above 8, identifiers out
// of range and anything left over.
canfd::Frame parse_frame(std::string_view text);

// The compact form of a frame (uppercase; remote frames carry their length
// after R when it is not zero).
std::string compact(const canfd::Frame &f);

// candump's frame column: identifier, [len] and data or "remote request".
// With indent_std, standard identifiers are right-aligned to the width of
// extended ones, as candump does once it has seen an extended frame.
std::string long_form(const canfd::Frame &f, bool indent_std);

// Stable name of a port for logs: canfd-<board id>-<port>.
std::string port_name(uint32_t bid, unsigned port);

}  // namespace canfd_tool

#endif  // CANFD_TOOL_FRAME_TEXT_H
