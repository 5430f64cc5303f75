// canfd-sim: simulated adapters, either in a hidraw sandbox (for programs
// run with its preload), as kernel HID devices made through /dev/uhid, or as
// USB devices through dummy_hcd (both for every program on the machine), to
// use the library without hardware.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine.h"
#include "sim.h"
#include "uhid_adapter.h"
#include "usb_adapter.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

constexpr const char kPreloadName[] = "libcanfd-sandbox.so";
constexpr const char kUhidPath[] = "/dev/uhid";
constexpr const char kHidrawClass[] = "/sys/class/hidraw";
constexpr int kMaxAdapters = 128;
constexpr uint16_t kVendor = 0x3F9A;
// How long the kernel may take to make the nodes of new devices (a slow
// emulated machine takes a while).
constexpr int kNodeWaitMs = 30000;
constexpr int64_t kNsPerMs = 1000000;

const char kUsage[] =
    "Usage: canfd-sim [OPTIONS] [-- COMMAND [ARGS...]]\n"
    "       canfd-sim --uhid|--usb [OPTIONS] [-- COMMAND [ARGS...]]\n"
    "\n"
    "Simulated two-port CAN FD adapters, for using the library, the canfd tool\n"
    "and python-can without hardware.\n"
    "\n"
    "By default the adapters live in a hidraw sandbox: with a command, canfd-sim\n"
    "runs it inside the sandbox and exits with its exit status; without one, it\n"
    "prints the environment to use and serves until interrupted.\n"
    "\n"
    "With --uhid the adapters become kernel HID devices made through /dev/uhid\n"
    "(load the module with 'modprobe uhid'; needs write access to /dev/uhid,\n"
    "usually root). With --usb they become USB devices: one configfs HID gadget\n"
    "each, bound to a controller of dummy_hcd, so that usbhid drives them as it\n"
    "drives a real adapter (root, configfs at /sys/kernel/config and the modules\n"
    "dummy_hcd, libcomposite, usb_f_hid and usbhid; 'modprobe dummy_hcd num=N'\n"
    "gives N controllers, one per adapter). Either way the kernel gives each a\n"
    "real /dev/hidrawN that every program sees, with no preload. Once every node\n"
    "exists, canfd-sim prints one line per adapter to standard output,\n"
    "'/dev/hidrawN BOARD-ID PRODUCT-ID' (also with --quiet). With a command, it\n"
    "then runs it and exits with its exit status; without one, it serves until\n"
    "SIGINT or SIGTERM. Either way it removes the devices before it exits.\n"
    "\n"
    "Options:\n"
    "  --adapters N        number of adapters (default 1, or as many as --bid or\n"
    "                      --pid give); in the sandbox they are hidraw0 to\n"
    "                      hidrawN-1\n"
    "  --bid HEX[,HEX...]  board ids of the adapters, in order (default 1234ABCD;\n"
    "                      adapters beyond those given count up from the last)\n"
    "  --pid PID[,PID...]  USB product ids of the adapters, 0E31 or 0E32 each\n"
    "                      (default 0E31; adapters beyond those given take the\n"
    "                      last)\n"
    "  --no-timing         switch the timing model off: reports and frames go as\n"
    "                      fast as the host takes them\n"
    "  --clock-ppm PPM     the adapters' clocks run PPM parts per million fast\n"
    "                      (negative: slow) against the host's, as crystals do;\n"
    "                      default 0 (-100000 to 100000)\n"
    "  --usb-speed SPEED   'high' (8000 reports per second each way, the default)\n"
    "                      or 'full' (1000)\n"
    "  --dir DIR           sandbox directory (default: a new one under /tmp); not\n"
    "                      with --uhid or --usb\n"
    "  --uhid              make the adapters kernel HID devices through /dev/uhid\n"
    "  --usb               make the adapters USB devices through dummy_hcd\n"
    "  --unplug-after MS   with --uhid or --usb: unplug every adapter MS\n"
    "                      milliseconds after the start\n"
    "  --replug-after MS   with --uhid or --usb: plug the adapters in again MS\n"
    "                      milliseconds after each unplug\n"
    "  --stall WHAT[,WHAT...]\n"
    "                      what the adapters do while stalled: 'take' (take no\n"
    "                      report from the host), 'send' (send no report to the\n"
    "                      host; --usb only) or 'late:MS' (answer each command MS\n"
    "                      milliseconds late); default 'take'\n"
    "  --stall-after MS    stall MS milliseconds after the start\n"
    "  --stall-for MS      end each stall after MS milliseconds\n"
    "  -q, --quiet         print nothing but errors (and the environment lines, or\n"
    "                      with --uhid and --usb the node lines)\n"
    "  -h, --help          show this help\n"
    "\n"
    "Timing model (on unless --no-timing): the adapter takes and sends at most one\n"
    "USB report per interval each way, and each frame takes its wire time on the\n"
    "bus at the sending port's bit rates before the other port receives it, with\n"
    "that time stamp. Frames wait in a transmit queue of 256 frames per port while\n"
    "the bus is busy; frames that find it full are dropped and counted in the\n"
    "port's buffer-status word (bits 0-15; bits 16-31: frames waiting). With --usb\n"
    "the USB stack adds its own limit: about 1000 reports a second each way.\n"
    "\n"
    "Stalls: SIGRTMIN stalls every adapter as --stall says, SIGRTMIN+1 ends the\n"
    "stall ('kill -RTMIN PID', 'kill -RTMIN+1 PID'). While an adapter takes no\n"
    "report, the host's writes wait: with --usb they block in the kernel and fail\n"
    "with ETIMEDOUT after about 5 s, as with a real adapter; uhid drops them\n"
    "instead once 32 wait. A line on standard error tells of each stall and its\n"
    "end unless --quiet.\n"
    "\n"
    "Signals with --uhid and --usb: SIGUSR1 unplugs every adapter (the nodes go\n"
    "away, their readers get EIO), SIGUSR2 plugs them in again with the same ids\n"
    "and fresh settings (the kernel may give other hidraw numbers; the node lines\n"
    "are printed again). A line on standard error tells of each unplug and\n"
    "re-plug unless --quiet.\n"
    "\n"
    "Without a command and without --uhid or --usb, use the printed lines in the\n"
    "shell that runs the program:\n"
    "  export CANFD_SANDBOX=...\n"
    "  export LD_PRELOAD=...\n";

// Where the adapters live.
enum class Transport { Sandbox, Uhid, Usb };

// What the adapters do while stalled (--stall).
struct Stall {
  bool take = false;  // take no report from the host
  bool send = false;  // send no report to the host
  int late_ms = -1;   // answer each command this late; -1: in time
};

struct Options {
  int adapters = 0;  // 0: not given
  std::vector<uint32_t> bids;
  std::vector<std::string> pids;
  std::string dir;
  bool quiet = false;
  Transport transport = Transport::Sandbox;
  bool timing = true;
  int usb_rate = canfd_sim::kUsbHighSpeed;
  int clock_ppm = 0;
  int64_t unplug_after_ms = -1;
  int64_t replug_after_ms = -1;
  std::optional<Stall> stall;  // not given: 'take'
  int64_t stall_after_ms = -1;
  int64_t stall_for_ms = -1;
  std::vector<std::string> command;

  bool in_kernel() const { return transport != Transport::Sandbox; }
  Stall stall_or_default() const { return stall.value_or(Stall{true, false, -1}); }
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

std::string hex8(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08lX", static_cast<unsigned long>(v));
  return buf;
}

std::vector<std::string> split(const std::string &value) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t comma = value.find(',', start);
    parts.push_back(value.substr(start, comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

int64_t milliseconds(const std::string &opt, const std::string &value) {
  char *end = nullptr;
  errno = 0;
  const long long n = strtoll(value.c_str(), &end, 10);
  if (value.empty() || *end || errno || n < 0 || n > INT32_MAX)
    throw UsageError{opt + " takes milliseconds, not '" + value + "'"};
  return n;
}

Stall parse_stall(const std::string &value) {
  Stall st;
  for (const std::string &what : split(value)) {
    if (what == "take") {
      st.take = true;
    } else if (what == "send") {
      st.send = true;
    } else if (what.rfind("late:", 0) == 0) {
      st.late_ms = static_cast<int>(milliseconds("--stall late:", what.substr(5)));
    } else {
      throw UsageError{"--stall takes 'take', 'send' or 'late:MS', not '" + what + "'"};
    }
  }
  return st;
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
    if (arg == "--uhid" || arg == "--usb") {
      const Transport t = arg == "--uhid" ? Transport::Uhid : Transport::Usb;
      if (o.transport != Transport::Sandbox && o.transport != t)
        throw UsageError{"--uhid and --usb exclude each other"};
      o.transport = t;
      continue;
    }
    if (arg == "--no-timing") {
      o.timing = false;
      continue;
    }
    std::string value;
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    static const char *const kWithValue[] = {"--adapters",     "--bid",       "--pid",
                                             "--dir",          "--usb-speed", "--unplug-after",
                                             "--replug-after", "--stall",     "--stall-after",
                                             "--stall-for",    "--clock-ppm"};
    bool takes_value = false;
    for (const char *v : kWithValue) takes_value |= name == v;
    if (!takes_value) throw UsageError{"unknown option '" + arg + "'"};
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else {
      if (i + 1 >= argc) throw UsageError{"option " + arg + " needs a value"};
      value = argv[++i];
    }
    if (name == "--adapters") {
      char *end = nullptr;
      errno = 0;
      const long n = strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || errno || n < 1 || n > kMaxAdapters)
        throw UsageError{"--adapters takes a number from 1 to " + std::to_string(kMaxAdapters) +
                         ", not '" + value + "'"};
      o.adapters = static_cast<int>(n);
    } else if (name == "--bid") {
      for (const std::string &one : split(value)) {
        if (!is_hex(one, 8))
          throw UsageError{"--bid takes hexadecimal board ids of up to 8 digits, not '" + one +
                           "'"};
        o.bids.push_back(static_cast<uint32_t>(strtoul(one.c_str(), nullptr, 16)));
      }
    } else if (name == "--pid") {
      for (const std::string &one : split(value)) {
        std::string p = upper(one);
        if (p.rfind("0X", 0) == 0) p = p.substr(2);
        if (p != "0E31" && p != "0E32")
          throw UsageError{"--pid takes 0E31 or 0E32, not '" + one + "'"};
        o.pids.push_back(p);
      }
    } else if (name == "--dir") {
      if (value.empty()) throw UsageError{"--dir needs a directory"};
      o.dir = value;
    } else if (name == "--usb-speed") {
      if (value == "high")
        o.usb_rate = canfd_sim::kUsbHighSpeed;
      else if (value == "full")
        o.usb_rate = canfd_sim::kUsbFullSpeed;
      else
        throw UsageError{"--usb-speed takes 'high' or 'full', not '" + value + "'"};
    } else if (name == "--clock-ppm") {
      char *end = nullptr;
      errno = 0;
      const long ppm = strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || errno || ppm < -100000 || ppm > 100000)
        throw UsageError{"--clock-ppm takes a whole number from -100000 to 100000, not '" + value +
                         "'"};
      o.clock_ppm = static_cast<int>(ppm);
    } else if (name == "--unplug-after") {
      o.unplug_after_ms = milliseconds(name, value);
    } else if (name == "--replug-after") {
      o.replug_after_ms = milliseconds(name, value);
    } else if (name == "--stall") {
      o.stall = parse_stall(value);
    } else if (name == "--stall-after") {
      o.stall_after_ms = milliseconds(name, value);
    } else {
      o.stall_for_ms = milliseconds(name, value);
    }
  }
  const size_t listed = std::max(o.bids.size(), o.pids.size());
  if (o.adapters == 0) o.adapters = listed ? static_cast<int>(listed) : 1;
  if (listed > static_cast<size_t>(o.adapters))
    throw UsageError{"--bid or --pid gives more ids than --adapters"};
  if (o.pids.empty()) o.pids.push_back("0E31");
  if (!o.in_kernel() && (o.unplug_after_ms >= 0 || o.replug_after_ms >= 0))
    throw UsageError{"--unplug-after and --replug-after need --uhid or --usb"};
  if (o.in_kernel() && !o.dir.empty())
    throw UsageError{"--dir is for the sandbox, not with --uhid or --usb"};
  if (o.stall_or_default().send && o.transport != Transport::Usb)
    throw UsageError{"--stall send needs --usb"};
  return o;
}

// Board id and product id of adapter i.
uint32_t bid_of(const Options &o, size_t i) {
  // Board ids beyond those given count up from the last one.
  const size_t given = o.bids.size();
  if (i < given) return o.bids[i];
  if (given) return o.bids.back() + static_cast<uint32_t>(i - (given - 1));
  return 0x1234ABCDu + static_cast<uint32_t>(i);
}

const std::string &pid_of(const Options &o, size_t i) {
  return i < o.pids.size() ? o.pids[i] : o.pids.back();
}

canfd_sim::Timing timing_of(const Options &o) {
  canfd_sim::Timing t;
  t.on = o.timing;
  t.usb_reports_per_second = o.usb_rate;
  t.clock_ppm = o.clock_ppm;
  return t;
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

int64_t now_ms() { return canfd_sim::monotonic_ns() / kNsPerMs; }

// Starts the command with the original signal mask. Returns its process id,
// or -1 with the exit status to use in *status.
pid_t spawn(const std::vector<std::string> &command, const sigset_t &orig_mask, int *status) {
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
    *status = err == ENOENT ? 127 : 126;
    return -1;
  }
  return child;
}

// What the signal loop does besides waiting for the command: the stalls
// (--stall-after, --stall-for, SIGRTMIN and SIGRTMIN+1) and, with adapters
// in the kernel, unplugging and re-plugging.
class Events {
 public:
  explicit Events(const Options &o) : o_(o), stall_(o.stall_or_default()) {}
  virtual ~Events() = default;

  // Starts the timers of the options; once the adapters exist.
  void start() {
    if (o_.stall_after_ms >= 0) stall_at_ = now_ms() + o_.stall_after_ms;
    if (o_.unplug_after_ms >= 0) unplug_at_ = now_ms() + o_.unplug_after_ms;
  }

  // The next time (now_ms) something is due, or -1.
  int64_t next_due() const {
    int64_t t = -1;
    for (int64_t at : {stall_at_, unstall_at_, unplug_at_, replug_at_})
      if (at >= 0 && (t < 0 || at < t)) t = at;
    return t;
  }

  void due(int64_t now) {
    if (is_due(stall_at_, now)) set_stalled(true);
    if (is_due(unstall_at_, now)) set_stalled(false);
    if (is_due(unplug_at_, now)) unplug_all();
    if (is_due(replug_at_, now)) plug_all();
  }

  // False when this mode does not handle the signal.
  bool signal(int signo) {
    if (signo == SIGRTMIN)
      set_stalled(true);
    else if (signo == SIGRTMIN + 1)
      set_stalled(false);
    else if (o_.in_kernel() && signo == SIGUSR1)
      unplug_all();
    else if (o_.in_kernel() && signo == SIGUSR2)
      plug_all();
    else
      return false;
    return true;
  }

 protected:
  // Applies the stall (or its end) to every adapter.
  virtual void apply_stall(const Stall &st, bool on) = 0;
  // Plugs in the adapters that are not; false after saying what failed.
  virtual bool plug_all() { return true; }
  // Unplugs the adapters that are plugged; false when none was.
  virtual bool unplug_any() { return false; }

  const Options &o_;

 private:
  static bool is_due(int64_t &at, int64_t now) {
    if (at < 0 || now < at) return false;
    at = -1;
    return true;
  }

  void set_stalled(bool on) {
    if (on == stalled_) return;
    stalled_ = on;
    apply_stall(stall_, on);
    unstall_at_ = on && o_.stall_for_ms >= 0 ? now_ms() + o_.stall_for_ms : -1;
    if (o_.quiet) return;
    if (!on) {
      fprintf(stderr, "canfd-sim: stall over\n");
      return;
    }
    std::string what;
    if (stall_.take) what += ", take no report from the host";
    if (stall_.send) what += ", send no report to the host";
    if (stall_.late_ms >= 0)
      what += ", answer commands " + std::to_string(stall_.late_ms) + " ms late";
    fprintf(stderr, "canfd-sim: stalled: the adapters%s\n", what.c_str() + 1);
  }

  void unplug_all() {
    if (unplug_any() && o_.replug_after_ms >= 0) replug_at_ = now_ms() + o_.replug_after_ms;
  }

  const Stall stall_;
  bool stalled_ = false;
  int64_t stall_at_ = -1, unstall_at_ = -1;
  int64_t unplug_at_ = -1, replug_at_ = -1;
};

// Applies a stall to one adapter through its engine (or the sandbox's
// Adapter, which has the same calls).
template <typename A>
void stall_engine(A &a, const Stall &st, bool on) {
  if (st.take) a.stall(on);
  if (st.late_ms < 0) return;
  if (on)
    a.set_reply_all(canfd_sim::Reply{canfd_sim::Reply::Late, 0, st.late_ms, -1});
  else
    a.clear_replies();
}

// Waits for signals (and the events' timers) until the command ends, or
// without a command until SIGINT, SIGTERM or SIGHUP. A SIGINT, SIGTERM or
// SIGHUP sent to this process is passed on to the command; one from the
// terminal has reached it already.
int wait_for_end(pid_t child, const sigset_t &waited, Events &events) {
  for (;;) {
    siginfo_t info;
    int sig;
    const int64_t due = events.next_due();
    if (due >= 0) {
      const int64_t left = std::max<int64_t>(due - now_ms(), 0);
      timespec ts{};
      ts.tv_sec = static_cast<time_t>(left / 1000);
      ts.tv_nsec = static_cast<long>(left % 1000 * kNsPerMs);
      sig = sigtimedwait(&waited, &info, &ts);
    } else {
      sig = sigwaitinfo(&waited, &info);
    }
    if (sig < 0) {
      if (errno == EAGAIN) {
        events.due(now_ms());
        continue;
      }
      if (errno == EINTR) continue;
      perror("canfd-sim: sigwaitinfo");
      if (child <= 0) return 1;
      kill(child, SIGTERM);
      sig = SIGCHLD;
    }
    if (sig == SIGCHLD) {
      if (child <= 0) continue;
      int wstatus = 0;
      const pid_t r = waitpid(child, &wstatus, WNOHANG);
      if (r == child) return status_of(wstatus);
      if (r < 0 && errno != EINTR) return 1;
      continue;
    }
    if (events.signal(sig)) continue;
    if (child <= 0) return 0;
    if (info.si_code != SI_KERNEL) kill(child, sig);
  }
}

// ---- The sandbox -------------------------------------------------------------

class SandboxEvents : public Events {
 public:
  SandboxEvents(const Options &o, std::vector<canfd_sim::Adapter *> adapters)
      : Events(o), adapters_(std::move(adapters)) {}

 private:
  void apply_stall(const Stall &st, bool on) override {
    for (canfd_sim::Adapter *a : adapters_) stall_engine(*a, st, on);
  }

  std::vector<canfd_sim::Adapter *> adapters_;
};

// Tells, unless --quiet, of reports that a reader of a sandbox node did not
// read in time (the node keeps 64 unread for each, as hidraw does).
void tell_dropped(const Options &o, const std::vector<canfd_sim::Adapter *> &adapters) {
  if (o.quiet) return;
  for (size_t i = 0; i < adapters.size(); ++i) {
    if (adapters[i]->reports_dropped() == 0) continue;
    fprintf(stderr,
            "canfd-sim: adapter %s dropped %llu reports that a reader did not read in time\n",
            hex8(bid_of(o, i)).c_str(),
            static_cast<unsigned long long>(adapters[i]->reports_dropped()));
  }
}

int run_sandbox(const Options &o, const sigset_t &waited, const sigset_t &orig_mask) {
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

  canfd_sim::Sandbox sandbox(o.dir);
  std::vector<canfd_sim::Adapter *> adapters;
  std::string summary;
  const bool one_pid = o.pids.size() == 1;
  for (int i = 0; i < o.adapters; ++i) {
    const size_t at = static_cast<size_t>(i);
    canfd_sim::AdapterId id;
    id.hidraw = i;
    id.pid = "0000" + pid_of(o, at);
    id.uniq = hex8(bid_of(o, at));
    adapters.push_back(&sandbox.add(id));
    adapters.back()->set_timing(timing_of(o));
    summary += " hidraw" + std::to_string(i) + "=" + id.uniq;
    if (!one_pid) summary += "/" + pid_of(o, at);
  }
  if (!o.quiet) {
    const std::string pids = one_pid ? " (PID " + o.pids[0] + ")" : " (board id/PID)";
    fprintf(stderr, "canfd-sim: sandbox %s, adapters%s:%s\n", sandbox.dir().c_str(), pids.c_str(),
            summary.c_str());
  }

  SandboxEvents events(o, adapters);
  events.start();
  if (o.command.empty()) {
    printf("export CANFD_SANDBOX=%s\n", shell_quote(sandbox.dir()).c_str());
    printf("export LD_PRELOAD=%s\n", shell_quote(preload).c_str());
    fflush(stdout);
    if (!o.quiet) fprintf(stderr, "canfd-sim: serving until interrupted (Ctrl-C)\n");
    const int status = wait_for_end(-1, waited, events);
    tell_dropped(o, adapters);
    return status;
  }
  if (const char *old = getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  int status = 0;
  const pid_t child = spawn(o.command, orig_mask, &status);
  if (child < 0) return status;
  status = wait_for_end(child, waited, events);
  tell_dropped(o, adapters);
  return status;
}

// ---- Adapters in the kernel: uhid and USB ------------------------------------

// What the uhid and USB rigs share: plugging the adapters in one after the
// other, waiting for their nodes, the node lines, unplugging.
class KernelRig : public Events {
 public:
  using Events::Events;

  // Makes the adapters and plugs them in. False after saying why.
  bool create() {
    if (!make()) return false;
    nodes_.resize(count());
    return plug_all();
  }

 protected:
  // Makes the adapters (count() of them), unplugged; false after saying why.
  virtual bool make() = 0;
  virtual size_t count() const = 0;
  // Plugs adapter i in; false after saying why.
  virtual bool plug(size_t i) = 0;
  virtual void unplug(size_t i) = 0;
  virtual bool plugged(size_t i) const = 0;
  // HID_PHYS of adapter i's HID device, by which its node is found.
  virtual std::string phys(size_t i) const = 0;
  virtual std::string uniq(size_t i) const = 0;
  virtual uint16_t product(size_t i) const = 0;
  // What to check when the kernel makes no node.
  virtual const char *node_hint() const = 0;

 public:
  // Tells, unless --quiet, of reports to the host that the adapters dropped.
  virtual void tell_losses() const {}

 protected:
  // Plugs in the adapters that are not plugged, waits for their nodes and
  // prints the node lines. False after saying what failed.
  bool plug_all() override {
    bool replug = false;
    // One at a time, each once the node of the one before exists, so that
    // the kernel numbers the nodes in the order of the adapters.
    for (size_t i = 0; i < count(); ++i) {
      if (plugged(i)) continue;
      replug |= plugged_once_;
      if (!plug(i) || !wait_for_node(i)) return false;
    }
    plugged_once_ = true;
    for (size_t i = 0; i < count(); ++i)
      printf("/dev/%s %s %04X\n", nodes_[i].c_str(), uniq(i).c_str(), product(i));
    fflush(stdout);
    if (replug && !o_.quiet) {
      for (size_t i = 0; i < count(); ++i)
        fprintf(stderr, "canfd-sim: re-plugged adapter %s as /dev/%s\n", uniq(i).c_str(),
                nodes_[i].c_str());
    }
    return true;
  }

  bool unplug_any() override {
    bool any = false;
    for (size_t i = 0; i < count(); ++i) {
      if (!plugged(i)) continue;
      unplug(i);
      any = true;
      if (!o_.quiet)
        fprintf(stderr, "canfd-sim: unplugged adapter %s (/dev/%s)\n", uniq(i).c_str(),
                nodes_[i].c_str());
    }
    return any;
  }

 private:
  // Waits until the kernel has made the sysfs entry and the device node of
  // adapter i.
  bool wait_for_node(size_t i) {
    const int64_t until = now_ms() + kNodeWaitMs;
    for (;;) {
      nodes_[i] = canfd_sim::find_hidraw(kHidrawClass, phys(i));
      struct stat st;
      if (!nodes_[i].empty() && stat(("/dev/" + nodes_[i]).c_str(), &st) == 0) return true;
      if (now_ms() > until) {
        fprintf(stderr,
                "canfd-sim: the kernel made no hidraw node for adapter %s within %d s; %s\n",
                uniq(i).c_str(), kNodeWaitMs / 1000, node_hint());
        return false;
      }
      usleep(10000);
    }
  }

  std::vector<std::string> nodes_;
  bool plugged_once_ = false;
};

class UhidRig : public KernelRig {
 public:
  using KernelRig::KernelRig;

 private:
  // Opens /dev/uhid once per adapter.
  bool make() override {
    for (int i = 0; i < o_.adapters; ++i) {
      const size_t at = static_cast<size_t>(i);
      const int fd = open(kUhidPath, O_RDWR | O_CLOEXEC);
      if (fd < 0) {
        fprintf(stderr,
                "canfd-sim: cannot open %s: %s; load the module with 'modprobe uhid' and run as "
                "root (or give your user write access to %s)\n",
                kUhidPath, strerror(errno), kUhidPath);
        return false;
      }
      canfd_sim::UhidIdentity id;
      id.vendor = kVendor;
      id.product = static_cast<uint16_t>(strtoul(pid_of(o_, at).c_str(), nullptr, 16));
      id.uniq = hex8(bid_of(o_, at));
      id.phys = "canfd-sim-" + std::to_string(getpid()) + "/adapter" + std::to_string(i);
      adapters_.push_back(std::make_unique<canfd_sim::UhidAdapter>(fd, id));
      adapters_.back()->engine().set_timing(timing_of(o_));
    }
    return true;
  }
  size_t count() const override { return adapters_.size(); }
  bool plug(size_t i) override {
    if (adapters_[i]->plug()) return true;
    fprintf(stderr, "canfd-sim: cannot create the HID device of adapter %s on %s: %s\n",
            uniq(i).c_str(), kUhidPath, strerror(errno));
    return false;
  }
  void unplug(size_t i) override { adapters_[i]->unplug(); }
  bool plugged(size_t i) const override { return adapters_[i]->plugged(); }
  std::string phys(size_t i) const override { return adapters_[i]->identity().phys; }
  std::string uniq(size_t i) const override { return adapters_[i]->identity().uniq; }
  uint16_t product(size_t i) const override { return adapters_[i]->identity().product; }
  const char *node_hint() const override {
    return "are the hid-generic and hidraw drivers there ('modprobe hid-generic')?";
  }
  void apply_stall(const Stall &st, bool on) override {
    for (auto &a : adapters_) stall_engine(a->engine(), st, on);
  }

  std::vector<std::unique_ptr<canfd_sim::UhidAdapter>> adapters_;
};

class UsbRig : public KernelRig {
 public:
  using KernelRig::KernelRig;

 private:
  // Makes one gadget per adapter, after removing those that killed
  // canfd-sim processes left.
  bool make() override {
    const std::string problem = canfd_sim::usb_transport_problem();
    if (!problem.empty()) {
      fprintf(stderr,
              "canfd-sim: cannot make USB adapters: %s. --usb needs root, configfs at "
              "/sys/kernel/config and the modules dummy_hcd, libcomposite, usb_f_hid and "
              "usbhid\n",
              problem.c_str());
      return false;
    }
    canfd_sim::remove_stale_gadgets();
    for (int i = 0; i < o_.adapters; ++i) {
      const size_t at = static_cast<size_t>(i);
      canfd_sim::UsbIdentity id;
      id.vendor = kVendor;
      id.product = static_cast<uint16_t>(strtoul(pid_of(o_, at).c_str(), nullptr, 16));
      id.serial = hex8(bid_of(o_, at));
      id.gadget = canfd_sim::usb_gadget_name(getpid(), i);
      try {
        adapters_.push_back(std::make_unique<canfd_sim::UsbAdapter>(id));
      } catch (const std::runtime_error &e) {
        fprintf(stderr, "canfd-sim: cannot make the USB gadget of adapter %s: %s\n",
                id.serial.c_str(), e.what());
        return false;
      }
      adapters_.back()->engine().set_timing(timing_of(o_));
    }
    return true;
  }
  size_t count() const override { return adapters_.size(); }
  bool plug(size_t i) override {
    if (adapters_[i]->plug()) return true;
    fprintf(stderr, "canfd-sim: cannot plug in adapter %s: %s\n", uniq(i).c_str(),
            adapters_[i]->error().c_str());
    return false;
  }
  void unplug(size_t i) override { adapters_[i]->unplug(); }
  bool plugged(size_t i) const override { return adapters_[i]->plugged(); }
  std::string phys(size_t i) const override { return adapters_[i]->phys(); }
  std::string uniq(size_t i) const override { return adapters_[i]->identity().serial; }
  uint16_t product(size_t i) const override { return adapters_[i]->identity().product; }
  const char *node_hint() const override {
    return "are the usbhid and hid-generic drivers there ('modprobe usbhid')?";
  }
  void apply_stall(const Stall &st, bool on) override {
    for (auto &a : adapters_) {
      stall_engine(a->engine(), st, on);
      if (st.send) a->hold_input(on);
    }
  }
  void tell_losses() const override {
    if (o_.quiet) return;
    for (const auto &a : adapters_) {
      if (a->reports_lost() == 0) continue;
      fprintf(stderr,
              "canfd-sim: adapter %s dropped %llu reports to the host that the host did not "
              "poll for\n",
              a->identity().serial.c_str(), static_cast<unsigned long long>(a->reports_lost()));
    }
  }

  std::vector<std::unique_ptr<canfd_sim::UsbAdapter>> adapters_;
};

int run_in_kernel(const Options &o, const sigset_t &waited, const sigset_t &orig_mask) {
  std::unique_ptr<KernelRig> rig;
  if (o.transport == Transport::Usb)
    rig = std::make_unique<UsbRig>(o);
  else
    rig = std::make_unique<UhidRig>(o);
  if (!rig->create()) return 1;
  rig->start();
  int status = 0;
  if (o.command.empty()) {
    if (!o.quiet) fprintf(stderr, "canfd-sim: serving until interrupted (Ctrl-C)\n");
    status = wait_for_end(-1, waited, *rig);
  } else {
    const pid_t child = spawn(o.command, orig_mask, &status);
    if (child >= 0) status = wait_for_end(child, waited, *rig);
  }
  rig->tell_losses();
  return status;
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

  // Every thread, the adapters' included, leaves these signals to
  // sigwaitinfo. An inherited ignored SIGCHLD would reap the command before
  // waitpid sees its status, so it gets its default action back.
  signal(SIGCHLD, SIG_DFL);
  sigset_t waited, orig_mask;
  sigemptyset(&waited);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGRTMIN, SIGRTMIN + 1}) sigaddset(&waited, s);
  if (o.in_kernel()) {
    sigaddset(&waited, SIGUSR1);
    sigaddset(&waited, SIGUSR2);
  }
  pthread_sigmask(SIG_BLOCK, &waited, &orig_mask);

  try {
    return o.in_kernel() ? run_in_kernel(o, waited, orig_mask) : run_sandbox(o, waited, orig_mask);
  } catch (const std::exception &e) {
    fprintf(stderr, "canfd-sim: %s\n", e.what());
    return 1;
  }
}
