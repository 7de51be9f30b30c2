#include "support/programdir.h"

#include "app/appstate.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/log.h"

ProgramInTempDir::ProgramInTempDir(std::u16string name) : name_(std::move(name)) {
  SetProgramLocation(dir_.path16(), name_);
  ResetErrorLogPrefix();
  SettingsMsgBoxFlag = false;
  SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { boxes.push_back(text); });
  SetDoEventsHook([this] { ++doEvents; });
}

ProgramInTempDir::~ProgramInTempDir() {
  SetMessageBoxHook(nullptr);
  SetDoEventsHook(nullptr);
  SettingsMsgBoxFlag = false;
  ResetErrorLogPrefix();
}

std::u16string ProgramInTempDir::readText(const std::string& name) const { return FromAnsi(ReadBytes(file(name))); }

std::u16string ProgramInTempDir::errorLog() const { return readText(ToUtf8(name_) + "ERR1.log"); }
