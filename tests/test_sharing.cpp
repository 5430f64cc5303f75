// Several programs on one adapter: a program that uses a port keeps others
// from changing its settings, until it ends (however it ends); a listener
// changes nothing; the last program that switched a port on switches it off.
// The other programs are canfd-test-port-user processes on the same
// simulated adapter.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <string>

#include "rig.h"

extern char **environ;

namespace {

using namespace rig;

#if defined(CANFD_TEST_EMULATED)
#define SKIP_WHERE_EMULATED() GTEST_SKIP() << "the other program would run without the emulator"
#else
#define SKIP_WHERE_EMULATED() (void)0
#endif

// Another program on the adapter; ready once it has done what it was told.
class OtherProgram {
 public:
  explicit OtherProgram(std::vector<std::string> what) {
    int in[2], out[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<std::string> args{CANFD_PORT_USER, "1234ABCD"};
    args.insert(args.end(), what.begin(), what.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, CANFD_PORT_USER, &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~OtherProgram() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    close(stdout_);
  }
  OtherProgram(const OtherProgram &) = delete;
  OtherProgram &operator=(const OtherProgram &) = delete;

  // Its first line: "ready", or why not.
  std::string first_line(int timeout_ms = 5000) {
    std::string line;
    pollfd p{stdout_, POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, timeout_ms) == 1) {
      char buf[128];
      const ssize_t n = read(stdout_, buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    return line.substr(0, line.find('\n'));
  }
  // Ends it: as it would end by itself (closing the device), or killed.
  int finish() {
    close(stdin_);
    stdin_ = -1;
    return wait();
  }
  int kill_it() {
    kill(pid_, SIGKILL);
    return wait();
  }
  pid_t pid() const { return pid_; }

 private:
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
};

using Sharing = OpenAdapter;

TEST_F(Sharing, AProgramThatUsesAPortKeepsItsSettingsUntilItEnds) {
  SKIP_WHERE_EMULATED();
  OtherProgram listener({"use", "2"});
  ASSERT_EQ(listener.first_line(), "ready");
  // Its port's settings are left alone; the other port's are not its.
  EXPECT_EQ(CANFD_SetCANADBaudRate(h, 2, 250000, 1000000, 8000, 7500), CANFD_ERR_PORT_IN_USE);
  EXPECT_EQ(CANFD_SetCANOPMode(h, 2, 0, 0, 1), CANFD_ERR_PORT_IN_USE);
  EXPECT_EQ(CANFD_ResetModule(h), CANFD_ERR_PORT_IN_USE);
  EXPECT_EQ(CANFD_SetCANADBaudRate(h, 1, 250000, 1000000, 8000, 7500), 0);
  EXPECT_EQ(adapter->state().port[1].arb_bitrate, 500000u);
  // Who it is.
  DWORD pid = 0;
  char name[16] = "x";
  ASSERT_EQ(CANFD_GetCANPortUser(h, 2, &pid, name, sizeof name), 0);
  EXPECT_EQ(pid, static_cast<DWORD>(listener.pid()));
  EXPECT_STREQ(name, "canfd-test-port");  // the system keeps 15 characters
  ASSERT_EQ(CANFD_GetCANPortUser(h, 1, &pid, name, sizeof name), 0);
  EXPECT_EQ(pid, 0u);
  EXPECT_STREQ(name, "");
  // Reads, frames and the LEDs are never refused.
  DWORD br, dbr;
  WORD sp, dsp;
  EXPECT_EQ(CANFD_GetCANADBaudRate(h, 2, &br, &dbr, &sp, &dsp), 0);
  BYTE data[8] = {1};
  EXPECT_EQ(CANFD_SetCANTxMsg(h, 2, 0, 0x12, 0, 0, 1, data), 0);
  EXPECT_EQ(CANFD_SetLEDState(h, 1), 0);
  // Asked to, this program may.
  ASSERT_EQ(CANFD_SetCANPortOverride(h, 2, 1), 0);
  EXPECT_EQ(CANFD_SetCANADBaudRate(h, 2, 125000, 1000000, 8000, 7500), 0);
  EXPECT_EQ(adapter->state().port[1].arb_bitrate, 125000u);
  ASSERT_EQ(CANFD_SetCANPortOverride(h, 2, 0), 0);
  EXPECT_EQ(CANFD_SetCANADBaudRate(h, 2, 250000, 1000000, 8000, 7500), CANFD_ERR_PORT_IN_USE);
  // Killed, its claims go with it.
  listener.kill_it();
  EXPECT_EQ(CANFD_SetCANADBaudRate(h, 2, 250000, 1000000, 8000, 7500), 0);
  ASSERT_EQ(CANFD_GetCANPortUser(h, 2, &pid, nullptr, 0), 0);
  EXPECT_EQ(pid, 0u);
}

TEST_F(Sharing, AListenerChangesNothingAndAPortInUseIsRefusedToOthers) {
  SKIP_WHERE_EMULATED();
  // This program configured port 1 and uses it...
  ASSERT_EQ(CANFD_SetCANADBaudRate(h, 1, 1000000, 5000000, 8000, 7500), 0);
  ASSERT_EQ(CANFD_SetCANOPMode(h, 1, 1, 0, 1), 0);
  const canfd_sim::ModuleState before = adapter->state();
  // ... a listener comes and goes: it changes nothing.
  {
    OtherProgram listener({"use", "1", "release"});
    ASSERT_EQ(listener.first_line(), "ready");
    EXPECT_EQ(listener.finish(), 0);
  }
  const canfd_sim::ModuleState after = adapter->state();
  EXPECT_EQ(after.port[0].enable, before.port[0].enable);
  EXPECT_EQ(after.port[0].arb_bitrate, before.port[0].arb_bitrate);
  // Another program that would enable port 1 is refused: this one uses it.
  OtherProgram other({"enable", "1"});
  EXPECT_EQ(other.first_line(), "enable 1: port in use by another program");
}

TEST_F(Sharing, TheLastProgramThatSwitchedAPortOnSwitchesItOff) {
  SKIP_WHERE_EMULATED();
  ASSERT_EQ(CANFD_SetCANOPMode(h, 1, 1, 0, 1), 0);
  OtherProgram a({"use", "1", "release"});
  OtherProgram b({"use", "1", "release"});
  ASSERT_EQ(a.first_line(), "ready");
  ASSERT_EQ(b.first_line(), "ready");
  // Three programs use port 1: this one, which switched it on, is done
  // first and leaves it on.
  BYTE off = 9;
  ASSERT_EQ(CANFD_ReleaseCANPort(h, 1, &off), 0);
  EXPECT_EQ(off, 0);
  EXPECT_EQ(adapter->state().port[0].enable, 1);
  // The listeners, which did not switch it on, leave it on too.
  EXPECT_EQ(b.finish(), 0);
  EXPECT_EQ(a.kill_it() & 0x7F, SIGKILL);
  EXPECT_EQ(adapter->state().port[0].enable, 1);
  // Alone now, and it had switched it on: it switches it off.
  ASSERT_EQ(CANFD_SetCANOPMode(h, 1, 1, 0, 1), 0);
  ASSERT_EQ(CANFD_ReleaseCANPort(h, 1, &off), 0);
  EXPECT_EQ(off, 1);
  EXPECT_EQ(adapter->state().port[0].enable, 0);
  EXPECT_EQ(adapter->state().port[0].iso_mode, 1);  // its mode words as it set them
  // One that switched a port on but is not the last user leaves it on.
  OtherProgram c({"enable", "2", "release"});
  ASSERT_EQ(c.first_line(), "ready");
  BYTE data[8] = {0};
  ASSERT_EQ(CANFD_SetCANTxMsg(h, 2, 0, 1, 0, 0, 1, data), 0);  // this one uses port 2
  EXPECT_EQ(c.finish(), 0);
  EXPECT_EQ(adapter->state().port[1].enable, 1);
}

}  // namespace
