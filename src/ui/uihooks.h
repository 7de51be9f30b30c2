#pragma once
// Connects the core's hooks to Qt: the message loop and the message box.
void InstallUiHooks();
