// Linked into every core test program: SIGPIPE is ignored before main, as the
// program ignores it first thing (the core tests use gtest's own main).
#include "util/sigpipe.h"

namespace {
const bool kSigPipeIgnored = (IgnoreSigPipe(), true);
}  // namespace
