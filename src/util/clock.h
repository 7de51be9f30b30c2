#pragma once
// Time seams. Log stamps and the status line read the local wall clock;
// time-outs measure a monotonic clock. Tests replace either.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

// Local broken-down time now.
std::tm LocalNow();
void SetLocalNowHook(std::function<std::tm()> hook);  // empty: real clock

// Seconds since the epoch, on the wall clock.
int64_t UnixNow();
void SetUnixNowHook(std::function<int64_t()> hook);  // empty: real clock

// Milliseconds on a monotonic clock.
int64_t MonotonicMs();

// "yyyy/mm/dd hh:nn:ss" (24-hour) and "hh:nn" of LocalNow().
std::u16string TimeStamp();
std::u16string TimeHHNN();

// Sleeps the calling thread.
void SleepMs(int ms);
