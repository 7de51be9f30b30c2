#include "diag/headlesswindow.h"

#include <utility>

#include "diag/targetlist.h"

HeadlessWindow::HeadlessWindow(std::u16string host, std::u16string boxText, std::array<bool, kServiceCount> ticked)
    : m_host(std::move(host)), m_boxText(std::move(boxText)), m_ticked(ticked) {}

void HeadlessWindow::PutCurrentTargetHostInfo(bool output) {
  m_report.AddResultLine(TargetHostInfoLine(0, -1, m_boxText), false, !output);
}

int HeadlessWindow::ChkServiceValue(int index) const {
  return index >= 0 && index < kServiceCount && m_ticked[static_cast<size_t>(index)] ? 1 : 0;
}
