#pragma once
// Hooks through which the core reaches the window layer. The core never
// includes Qt: the UI installs these at start-up, tests replace them, and by
// default they do nothing.
#include <cstdint>
#include <functional>
#include <string>

// "Let the window's message loop run once": pending window events and timer
// ticks are handled before this returns.
void DoEvents();
void SetDoEventsHook(std::function<void()> hook);

// For points that come in quick succession (each byte of a greeting, each
// result line of a run): lets the message loop run once when at least
// kDoEventsDueMs have gone by since it last ran, through either call. A fast
// peer then costs no pass (and no repaint) per byte or per line, while the
// window still answers at once; the waits themselves run the loop between
// their slices.
inline constexpr int64_t kDoEventsDueMs = 10;
void DoEventsIfDue();
// For work that the message loop itself has just started (a key, a click, a
// timer tick): the loop has run, and DoEventsIfDue counts from now.
void NoteMessageLoopRan();
// Milliseconds since the message loop last ran (through DoEvents, or as
// noted above).
int64_t MsSinceMessageLoopRan();

// A modal message box with an OK button only, no icon; returns when closed.
using MessageBoxHook = std::function<void(const std::u16string& text, const std::u16string& caption)>;
void ShowMessageBox(const std::u16string& text);  // caption: GetAppTitle()
void SetMessageBoxHook(MessageBoxHook hook);
