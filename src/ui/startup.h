#pragma once
// The program's start-up, apart from the event loop: tests run it with their
// own program location and drive the dialog it may show.
#include <memory>

class FrmVelkor;

// Fixes the paths of the settings file and the target list, loads the settings,
// shows the settings dialog modally first when they cannot be loaded, then
// shows the main window and returns it; the caller runs the event loop.
std::unique_ptr<FrmVelkor> Main();
