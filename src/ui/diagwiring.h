#pragma once
// Puts the diagnosis run into the main window: the Diag button, Enter in the
// target box and the monitoring tick all start the same runner.
#include "diag/diagrun.h"

class FrmVelkor;

// The runner lives as long as the window. Tests pass their own checks.
DiagRunner& InstallDiagRunner(FrmVelkor& window, DiagChecks checks = DiagChecks::Real());
