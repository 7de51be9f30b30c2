#include "util/clock.h"

#include <cstdio>
#include <thread>

namespace {
std::function<std::tm()>& NowHook() {
  static std::function<std::tm()> hook;
  return hook;
}
std::u16string Ascii(const char* s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }
}  // namespace

std::tm LocalNow() {
  if (NowHook()) return NowHook()();
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

void SetLocalNowHook(std::function<std::tm()> hook) { NowHook() = std::move(hook); }

namespace {
std::function<int64_t()>& UnixHook() {
  static std::function<int64_t()> hook;
  return hook;
}
}  // namespace

int64_t UnixNow() { return UnixHook() ? UnixHook()() : static_cast<int64_t>(std::time(nullptr)); }

void SetUnixNowHook(std::function<int64_t()> hook) { UnixHook() = std::move(hook); }

int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::u16string TimeStamp() {
  std::tm t = LocalNow();
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return Ascii(buf);
}

std::u16string TimeHHNN() {
  std::tm t = LocalNow();
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d", t.tm_hour, t.tm_min);
  return Ascii(buf);
}

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
