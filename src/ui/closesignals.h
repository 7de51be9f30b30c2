#pragma once
// SIGTERM, SIGINT and SIGHUP as close requests: each closes the window as
// its close box does, which during a run first stops the run.
class QWidget;

// Installs the handlers once; the requests go to `window` from the event
// loop (a handler only writes a byte to a pipe).
void InstallCloseSignals(QWidget& window);
