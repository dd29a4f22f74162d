// Catching the signals that would end the run while a named temporary file
// exists, so that the file goes with the run.
#include "os/termination_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "os/output_file.h"

namespace {

// Every signal whose default action ends the process, apart from the real-time
// signals (all of which do) and SIGKILL, which cannot be caught. SIGPIPE and
// SIGXFSZ are ignored instead, so that a failed write is reported as one.
constexpr int TERMINATING_SIGNALS[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGSYS,  SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGLOST
    SIGLOST,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

// The signals above plus the real-time ones.
sigset_t terminating_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : TERMINATING_SIGNALS) sigaddset(&set, sig);
#ifdef SIGRTMIN
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
#endif
  return set;
}

// The temporary file a signal removes: its folder (-1: none) and its name.
// Changed only while the terminating signals are held back.
volatile int guarded_folder = -1;
char guarded_name[64];

// Removes the temporary file, then ends the process by the same signal with
// its default action (a core dump where that is the default), so that the
// caller still sees the signal.
extern "C" void remove_temp_and_end(int sig) {
  if (guarded_folder >= 0) unlinkat(guarded_folder, guarded_name, 0);
  signal(sig, SIG_DFL);
  raise(sig);  // delivered as soon as this handler returns
}

}  // namespace

void catch_terminating_signals() {
  const sigset_t all = terminating_set();
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&all, sig) != 1) continue;
    struct sigaction current = {};
    if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction action = {};
    action.sa_handler = remove_temp_and_end;
    action.sa_mask = all;
    sigaction(sig, &action, nullptr);
  }
}

sigset_t hold_signals() {
  const sigset_t block = terminating_set();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &block, &previous);
  return previous;
}

void release_signals(const sigset_t& previous) { sigprocmask(SIG_SETMASK, &previous, nullptr); }

void guard_temp_file(int folder, const std::string& name) {
  if (folder < 0 || name.size() >= sizeof guarded_name) {
    guarded_folder = -1;
    return;
  }
  std::memcpy(guarded_name, name.c_str(), name.size() + 1);
  guarded_folder = folder;
}

void report_write_failures_as_errors() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}
