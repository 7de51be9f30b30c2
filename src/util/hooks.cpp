#include "util/hooks.h"

#include <atomic>

#include "util/appfiles.h"
#include "util/clock.h"

namespace {
std::function<void()>& DoEventsHook() {
  static std::function<void()> hook;
  return hook;
}
// When the last pass ended (atomic only so that a test driving probes from
// several threads stays well defined; the window has one thread).
std::atomic<int64_t> g_lastPassMs{0};
MessageBoxHook& BoxHook() {
  static MessageBoxHook hook;
  return hook;
}
}  // namespace

void DoEvents() {
  if (DoEventsHook()) DoEventsHook()();
  NoteMessageLoopRan();
}

void NoteMessageLoopRan() { g_lastPassMs.store(MonotonicMs(), std::memory_order_relaxed); }

int64_t MsSinceMessageLoopRan() { return MonotonicMs() - g_lastPassMs.load(std::memory_order_relaxed); }

void DoEventsIfDue() {
  if (MsSinceMessageLoopRan() >= kDoEventsDueMs) DoEvents();
}

void SetDoEventsHook(std::function<void()> hook) { DoEventsHook() = std::move(hook); }

void ShowMessageBox(const std::u16string& text) {
  if (BoxHook()) BoxHook()(text, AppTitle());
}

void SetMessageBoxHook(MessageBoxHook hook) { BoxHook() = std::move(hook); }
