// canfd: list, inspect, configure, send, generate and dump on the two-port USB
// CAN FD adapter, with can-utils' frame syntax, cangen's generation modes and
// candump's output layouts. Each subcommand adds itself with its options
// (cli.h); main reads the command line and runs the one given.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "cli.h"

using namespace canfd_tool;

namespace {

const char kFooter[] = R"TXT(
Adapters: with one attached, none needs naming; otherwise -d takes a board id
(1234ABCD), product and board id (0E31:1234ABCD) or a node (/dev/hidraw0).
Ports are numbered 1 and 2. In logs a port is named canfd-<board id>-<port>,
for example canfd-1234ABCD-1: the name stays the same whichever hidraw node the
adapter gets.
Errors read "canfd: <what failed>: <result> (<code>)"; the exit status is 1,
or 2 for bad command-line input.)TXT";

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"canfd: list, inspect, configure, send, generate and dump on USB CAN FD adapters",
               "canfd"};
  app.set_version_flag("--version", "canfd " CANFD_TOOL_VERSION);
  app.require_subcommand(1);
  // Subcommands take the footer and the formatter from the app as they are
  // added: set them first.
  app.footer(kFooter);
  app.get_formatter()->column_width(34);
  const Subcommand commands[] = {add_list(app), add_info(app), add_config(app), add_send(app),
                                 add_dump(app), add_gen(app),  add_reset(app)};

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    if (app.get_subcommands().empty() && argc > 1 && argv[1][0] != '-') {
      std::string names;
      for (const Subcommand &c : commands) names += (names.empty() ? "" : ", ") + c.app->get_name();
      fmt::print(stderr, "canfd: unknown command '{}' (commands: {})\n", argv[1], names);
      return 2;
    }
    fmt::print(stderr, "canfd: {}\nRun 'canfd --help' or 'canfd <command> --help' for usage.\n",
               e.what());
    return 2;
  }

  try {
    for (const Subcommand &c : commands)
      if (c.app->parsed()) return c.run();
  } catch (const UsageError &e) {
    fmt::print(stderr, "canfd: {}\n", e.what());
    return 2;
  } catch (const std::exception &e) {
    fmt::print(stderr, "canfd: {}\n", e.what());
    return 1;
  }
  return 0;
}
