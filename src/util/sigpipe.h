#pragma once
// A write to a peer that has gone must fail with EPIPE, never end the
// program. The TCP sends pass MSG_NOSIGNAL, but the share-listing library
// writes on its own worker thread without it, so every executable (the
// program, the test programs, the benches) calls this before anything else.
void IgnoreSigPipe();
