#pragma once
// Puts the diagnosis run into the main window: the Diag button, Enter in the
// target box and the monitoring tick all start the same runner.
#include "diag/diagrun.h"

class FrmVelkor;

#include <optional>

class HistoryWindow;

// The runner lives as long as the window. Tests pass their own checks; the
// real ones (none given) also tell the run what each TLS check found.
// Every finished or stopped run is recorded in the run history, whose
// window Ctrl+H opens.
DiagRunner& InstallDiagRunner(FrmVelkor& window, std::optional<DiagChecks> checks = std::nullopt);
// The history window Ctrl+H opened (nullptr before), for the tests.
HistoryWindow* OpenHistoryWindow(FrmVelkor& window);
