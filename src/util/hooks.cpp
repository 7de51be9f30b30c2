#include "util/hooks.h"

#include "util/appfiles.h"

namespace {
std::function<void()>& DoEventsHook() {
  static std::function<void()> hook;
  return hook;
}
MessageBoxHook& BoxHook() {
  static MessageBoxHook hook;
  return hook;
}
}  // namespace

void DoEvents() {
  if (DoEventsHook()) DoEventsHook()();
}

void SetDoEventsHook(std::function<void()> hook) { DoEventsHook() = std::move(hook); }

void ShowMessageBox(const std::u16string& text) {
  if (BoxHook()) BoxHook()(text, AppTitle());
}

void SetMessageBoxHook(MessageBoxHook hook) { BoxHook() = std::move(hook); }
