// canfd-sim: simulated adapters in a hidraw sandbox, for running programs
// that use the library without hardware.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sim.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

constexpr const char kPreloadName[] = "libcanfd-sandbox.so";
constexpr int kMaxAdapters = 128;

const char kUsage[] =
    "Usage: canfd-sim [OPTIONS] [-- COMMAND [ARGS...]]\n"
    "\n"
    "Creates a hidraw sandbox with simulated two-port CAN FD adapters. With a\n"
    "command, runs it inside the sandbox and exits with its exit status; without\n"
    "one, prints the environment to use and serves until interrupted.\n"
    "\n"
    "Options:\n"
    "  --adapters N        number of adapters, hidraw0 to hidrawN-1 (default 1,\n"
    "                      or as many as --bid gives)\n"
    "  --bid HEX[,HEX...]  board ids of the adapters (default 1234ABCD, then\n"
    "                      counting up)\n"
    "  --pid 0E31|0E32     USB product id of the adapters (default 0E31)\n"
    "  --dir DIR           sandbox directory (default: a new one under /tmp)\n"
    "  --quiet             print nothing but errors (and, without a command,\n"
    "                      the environment lines)\n"
    "  -h, --help          show this help\n"
    "\n"
    "Without a command, use the printed lines in the shell that runs the program:\n"
    "  export CANFD_SANDBOX=...\n"
    "  export LD_PRELOAD=...\n";

struct Options {
  int adapters = 0;  // 0: not given
  std::vector<unsigned long> bids;
  std::string pid = "0E31";
  std::string dir;
  bool quiet = false;
  std::vector<std::string> command;
};

struct UsageError {
  std::string message;
};

bool is_hex(const std::string &s, size_t max_digits) {
  if (s.empty() || s.size() > max_digits) return false;
  for (char c : s)
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string hex8(unsigned long v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08lX", v & 0xFFFFFFFFul);
  return buf;
}

Options parse(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      for (++i; i < argc; ++i) o.command.emplace_back(argv[i]);
      if (o.command.empty()) throw UsageError{"'--' must be followed by a command"};
      break;
    }
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      exit(0);
    }
    if (arg == "--quiet" || arg == "-q") {
      o.quiet = true;
      continue;
    }
    std::string value;
    const size_t eq = arg.find('=');
    const bool takes_value = arg.rfind("--adapters", 0) == 0 || arg.rfind("--bid", 0) == 0 ||
                             arg.rfind("--pid", 0) == 0 || arg.rfind("--dir", 0) == 0;
    if (!takes_value) throw UsageError{"unknown option '" + arg + "'"};
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    } else {
      if (i + 1 >= argc) throw UsageError{"option " + arg + " needs a value"};
      value = argv[++i];
    }
    if (arg == "--adapters") {
      char *end = nullptr;
      errno = 0;
      const long n = strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || errno || n < 1 || n > kMaxAdapters)
        throw UsageError{"--adapters takes a number from 1 to " + std::to_string(kMaxAdapters) +
                         ", not '" + value + "'"};
      o.adapters = static_cast<int>(n);
    } else if (arg == "--bid") {
      size_t start = 0;
      for (;;) {
        const size_t comma = value.find(',', start);
        const std::string one = value.substr(start, comma - start);
        if (!is_hex(one, 8))
          throw UsageError{"--bid takes hexadecimal board ids of up to 8 digits, not '" + one +
                           "'"};
        o.bids.push_back(strtoul(one.c_str(), nullptr, 16));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (arg == "--pid") {
      std::string p = upper(value);
      if (p.rfind("0X", 0) == 0) p = p.substr(2);
      if (p != "0E31" && p != "0E32")
        throw UsageError{"--pid takes 0E31 or 0E32, not '" + value + "'"};
      o.pid = p;
    } else if (arg == "--dir") {
      if (value.empty()) throw UsageError{"--dir needs a directory"};
      o.dir = value;
    } else {
      throw UsageError{"unknown option '" + arg + "'"};
    }
  }
  if (o.adapters == 0) o.adapters = o.bids.empty() ? 1 : static_cast<int>(o.bids.size());
  if (static_cast<int>(o.bids.size()) > o.adapters)
    throw UsageError{"--bid gives more board ids than --adapters"};
  return o;
}

// The preload directory: next to the executable in the build tree, or in
// the library directory of the install tree. Holds one build of the preload
// per platform, <dir>/<platform>/libcanfd-sandbox.so.
std::optional<fs::path> find_preload_dir() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  const fs::path bin = exe.parent_path();
  for (const fs::path &cand : {bin / ".." / "preload", bin / CANFD_SIM_INSTALL_PRELOAD}) {
    if (fs::exists(cand / CANFD_SIM_PLATFORM / kPreloadName, ec))
      return fs::weakly_canonical(cand, ec);
  }
  return std::nullopt;
}

// A word for the shell, in single quotes where needed.
std::string shell_quote(const std::string &s) {
  bool plain = !s.empty();
  for (char c : s)
    if (!isalnum(static_cast<unsigned char>(c)) && !strchr("/._-+:,=@%", c)) plain = false;
  if (plain) return s;
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

int status_of(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return 1;
}

// Runs the command with the sandbox environment and waits for it. A
// SIGINT, SIGTERM or SIGHUP sent to this process is passed on; one from the
// terminal has reached the command already.
int run(const std::vector<std::string> &command, const sigset_t &orig_mask,
        const sigset_t &waited) {
  std::vector<char *> argv;
  for (const std::string &a : command) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigmask(&attr, &orig_mask);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  const int err = posix_spawnp(&child, argv[0], nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (err != 0) {
    fprintf(stderr, "canfd-sim: cannot run '%s': %s\n", argv[0], strerror(err));
    return err == ENOENT ? 127 : 126;
  }
  for (;;) {
    siginfo_t info;
    if (sigwaitinfo(&waited, &info) < 0) {
      if (errno == EINTR) continue;
      perror("canfd-sim: sigwaitinfo");
      kill(child, SIGTERM);
    } else if (info.si_signo != SIGCHLD) {
      if (info.si_code != SI_KERNEL) kill(child, info.si_signo);
      continue;
    }
    int wstatus = 0;
    const pid_t r = waitpid(child, &wstatus, WNOHANG);
    if (r == child) return status_of(wstatus);
    if (r < 0 && errno != EINTR) return 1;
  }
}

int serve(const std::string &dir, const std::string &preload, const Options &o,
          const sigset_t &waited) {
  printf("export CANFD_SANDBOX=%s\n", shell_quote(dir).c_str());
  printf("export LD_PRELOAD=%s\n", shell_quote(preload).c_str());
  fflush(stdout);
  if (!o.quiet) fprintf(stderr, "canfd-sim: serving until interrupted (Ctrl-C)\n");
  for (;;) {
    siginfo_t info;
    if (sigwaitinfo(&waited, &info) < 0) {
      if (errno == EINTR) continue;
      perror("canfd-sim: sigwaitinfo");
      return 1;
    }
    if (info.si_signo != SIGCHLD) return 0;
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  try {
    o = parse(argc, argv);
  } catch (const UsageError &e) {
    fprintf(stderr, "canfd-sim: %s\nTry 'canfd-sim --help'.\n", e.message.c_str());
    return 2;
  }

  const std::optional<fs::path> preload_dir = find_preload_dir();
  if (!preload_dir) {
    fprintf(stderr,
            "canfd-sim: the sandbox preload %s was not found next to this program\n"
            "(looked in <bin>/../preload and <bin>/%s)\n",
            kPreloadName, CANFD_SIM_INSTALL_PRELOAD);
    return 1;
  }
  // $PLATFORM is left for the dynamic loader to expand, so that each process
  // loads the build for its own platform.
  std::string preload = (*preload_dir / "$PLATFORM" / kPreloadName).string();

  // Every thread, the adapters' included, leaves these signals to sigwaitinfo.
  // An inherited ignored SIGCHLD would reap the command before waitpid sees
  // its status, so it gets its default action back.
  signal(SIGCHLD, SIG_DFL);
  sigset_t waited, orig_mask;
  sigemptyset(&waited);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&waited, s);
  pthread_sigmask(SIG_BLOCK, &waited, &orig_mask);

  try {
    canfd_sim::Sandbox sandbox(o.dir);
    std::string summary;
    for (int i = 0; i < o.adapters; ++i) {
      canfd_sim::AdapterId id;
      id.hidraw = i;
      id.pid = "0000" + o.pid;
      // Board ids beyond those given count up from the last one.
      const size_t given = o.bids.size();
      const size_t at = static_cast<size_t>(i);
      const unsigned long bid = at < given ? o.bids[at]
                                : given    ? o.bids.back() + (at - (given - 1))
                                           : 0x1234ABCDul + at;
      id.uniq = hex8(bid);
      sandbox.add(id);
      summary += " hidraw" + std::to_string(i) + "=" + id.uniq;
    }
    if (!o.quiet)
      fprintf(stderr, "canfd-sim: sandbox %s, adapters (PID %s):%s\n", sandbox.dir().c_str(),
              o.pid.c_str(), summary.c_str());

    if (o.command.empty()) return serve(sandbox.dir(), preload, o, waited);

    if (const char *old = getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    return run(o.command, orig_mask, waited);
  } catch (const std::exception &e) {
    fprintf(stderr, "canfd-sim: %s\n", e.what());
    return 1;
  }
}
