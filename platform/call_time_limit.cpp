#include "platform/call_time_limit.h"

#include <signal.h>
#include <sys/time.h>
#include <time.h>

long long monotonicMilliseconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1'000'000;
}

namespace {

void interruptCall(int) {}

// SIGALRM only interrupts: installed on first use, without SA_RESTART.
void takeAlarms() {
  static bool installed = false;
  if (installed) return;
  struct sigaction action {};
  action.sa_handler = interruptCall;
  ::sigaction(SIGALRM, &action, nullptr);
  installed = true;
}

void setAlarm(long milliseconds, long repeatMilliseconds) {
  const itimerval timer{{repeatMilliseconds / 1000, repeatMilliseconds % 1000 * 1000},
                        {milliseconds / 1000, milliseconds % 1000 * 1000}};
  ::setitimer(ITIMER_REAL, &timer, nullptr);
}

}  // namespace

CallTimeLimit::CallTimeLimit(long milliseconds) : deadline_(monotonicMilliseconds() + milliseconds) {
  takeAlarms();
  // A zero first expiry would disarm the timer: the limit is at least 1 ms.
  setAlarm(milliseconds > 0 ? milliseconds : 1, 20);
}

CallTimeLimit::~CallTimeLimit() { setAlarm(0, 0); }

bool CallTimeLimit::passed() const { return monotonicMilliseconds() >= deadline_; }
