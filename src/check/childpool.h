#pragma once
// Tasks run in child processes of their own, a bounded number at a time,
// each bounded in time: what a sweep needs, since the core keeps
// process-wide state and one host's run cannot share a process with
// another's. The parent waits in poll(), reads each child's standard output
// through a pipe as it comes, kills a child by its pid when it runs over
// its time, and reaps every child it started.
#include <cstddef>
#include <functional>
#include <string>

// How one child ended.
struct ChildEnd {
  enum class How {
    Exited,          // it ended by itself: `code` is its exit status
    Signalled,       // a signal ended it: `code` is the signal
    OverTime,        // still running at its time limit: killed
    OutputTooLarge,  // wrote more than the limit: killed
    NotStarted,      // no process could be made: `code` is errno
  };
  How how = How::NotStarted;
  int code = 0;
  std::string output;  // what it wrote to its standard output
  double seconds = 0;  // from its start to its end
};

// A child that writes more than this is killed: a peer cannot make the
// parent's memory grow without end through a transcript.
inline constexpr size_t kMaxChildOutputBytes = size_t{32} << 20;

struct ChildPoolLimits {
  int jobs = 1;          // children at a time
  double seconds = 60;   // a child running longer is killed
  size_t outputBytes = kMaxChildOutputBytes;
};

// Runs body(i) in a child process for each i below count, in rising order,
// at most limits.jobs at a time. The child's standard output is a pipe to
// the parent; body must end the process (a body that returns ends it with
// status 127). A child dies with the parent. ended(i, end) runs in the
// parent as each child is reaped, in the order they end; when it answers
// false no further child starts and the running ones are killed. Every child
// is reaped before this returns.
void RunInChildren(size_t count, const ChildPoolLimits& limits, const std::function<void(size_t)>& body,
                   const std::function<bool(size_t, ChildEnd&&)>& ended);
