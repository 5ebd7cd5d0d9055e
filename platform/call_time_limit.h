// A time limit on a blocking system call that has no timeout of its own,
// such as waiting for a file lock.
#pragma once

// Now on the monotonic clock, which no change of the system time moves.
long long monotonicMilliseconds();

// While it exists, a blocking system call of this thread fails with EINTR
// once the limit has passed, and again every few milliseconds after, so that
// a call entered just then is interrupted too. The calls must not be
// restarted by themselves: callers loop on EINTR and ask passed().
class CallTimeLimit {
 public:
  explicit CallTimeLimit(long milliseconds);
  ~CallTimeLimit();
  CallTimeLimit(const CallTimeLimit&) = delete;
  CallTimeLimit& operator=(const CallTimeLimit&) = delete;

  bool passed() const;

 private:
  long long deadline_;  // on the monotonic clock, in milliseconds
};
