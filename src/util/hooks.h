#pragma once
// Hooks through which the core reaches the window layer. The core never
// includes Qt: the UI installs these at start-up, tests replace them, and by
// default they do nothing.
#include <functional>
#include <string>

// "Let the window's message loop run once": pending window events and timer
// ticks are handled before this returns.
void DoEvents();
void SetDoEventsHook(std::function<void()> hook);

// A modal message box with an OK button only, no icon; returns when closed.
using MessageBoxHook = std::function<void(const std::u16string& text, const std::u16string& caption)>;
void ShowMessageBox(const std::u16string& text);  // caption: GetAppTitle()
void SetMessageBoxHook(MessageBoxHook hook);
