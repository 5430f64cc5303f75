// canfd-fuzz-record NODE LOG [MAX]: records the reports that the adapter on
// NODE (/dev/hidrawN) sends, up to MAX (default 100000), into LOG until it
// is told to stop (SIGINT or SIGTERM). Another program uses the adapter
// meanwhile: the node gives each of its readers every report.
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "report_log.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s NODE LOG [MAX]\n", argv[0]);
    return 2;
  }
  // The signals are taken by sigwait below, in no other thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  size_t count = 0;
  {
    canfd_fuzz::ReportRecorder recorder(argv[1], argv[2],
                                        argc > 3 ? strtoul(argv[3], nullptr, 10) : 100000);
    if (!recorder.ok()) {
      perror(argv[1]);
      return 1;
    }
    int sig;
    sigwait(&stop, &sig);
    count = recorder.count();
  }
  fprintf(stderr, "canfd-fuzz-record: %zu reports of %s in %s\n", count, argv[1], argv[2]);
  return 0;
}
