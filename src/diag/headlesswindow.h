#pragma once
// A diagnosis window without a window: the result list is kept in memory,
// lamps and status go nowhere, nothing is ever busy. velkor-check and the
// benchmarks run the core through it; each may override what it watches.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "diag/diagrun.h"
#include "diag/resultreport.h"

class HeadlessWindow : public DiagWindow, public ResultView {
 public:
  // `host` is the target, `boxText` what the target box would show, and
  // `ticked` the checks asked for (by service index).
  HeadlessWindow(std::u16string host, std::u16string boxText, std::array<bool, kServiceCount> ticked);

  void AppendResultItem(const std::u16string& item) override { m_items.push_back(item); }
  void ClearResultItems() override { m_items.clear(); }
  std::vector<std::u16string> ResultItems() const override { return m_items; }
  void SetLampColour(int, const LampColour&) override {}
  void SetStatusCaption(const std::u16string&) override {}
  void RepaintNow() override {}

  ResultReport& Report() override { return m_report; }
  bool SetTargetHost() override { return true; }
  std::u16string GetHostAddr() const override { return m_host; }
  std::u16string GetCurrentHostName() const override { return m_host; }
  void PutCurrentTargetHostInfo(bool output) override;
  void PutCurrentTimeoutInfo() override {}
  int ChkServiceValue(int index) const override;
  void SetWindowEnabled(bool) override {}
  void ShowHourglass() override {}
  void RestoreMousePointer() override {}
  void SetRunFlag(bool on) override { m_runs += on ? 1 : 0; }
  bool IsClosing() const override { return false; }
  int16_t MinuteCounter() const override { return m_counter; }
  void SetMinuteCounter(int16_t value) override { m_counter = value; }
  void SetErrorText(const std::u16string&) override {}
  bool IsBusy() const override { return false; }
  void Post(std::function<void()>) override {}

  void SetTicked(std::array<bool, kServiceCount> ticked) { m_ticked = ticked; }
  int Runs() const { return m_runs; }  // runs started so far

 private:
  std::u16string m_host;
  std::u16string m_boxText;
  std::array<bool, kServiceCount> m_ticked;
  std::vector<std::u16string> m_items;
  ResultReport m_report{*this};
  int16_t m_counter = 0;
  int m_runs = 0;
};
