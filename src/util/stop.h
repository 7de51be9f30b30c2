#pragma once
// The operator's request to stop the run in progress (Esc, or a close
// request during a run). The window raises it; every wait of a run looks at
// it between its slices and ends at once, and the run ends its section with
// the stop line. The run lowers it when it starts and when it has ended.
//
// One lock-free flag: raising it from a signal handler is safe too.

// Raises the request.
void RequestStop();
// True from RequestStop until ClearStop.
bool StopRequested();
// Lowers the request.
void ClearStop();
