#pragma once
// State that every window and module shares for the whole process.
#include <string>

#include "util/appfiles.h"

struct SystemSettingsRecord {
  std::u16string TargetHost;
  std::u16string SmtpPort;
  std::u16string PopPort;
  std::u16string FtpPort;
  std::u16string HttpPort;
  std::u16string UserName;
  std::u16string Password;
  std::u16string Interval;
  std::u16string RunBat;
};

extern SystemSettingsRecord SystemSettings;
extern std::u16string SettingsFilePath;    // <config dir>/VKRSYS.DAT
extern std::u16string TargetListFilePath;  // <config dir>/VKRTARGET.INI

// While true, ReportError also shows each report in a message box.
inline bool& SettingsMsgBoxFlag = AppMsgBoxFlag;

inline constexpr char16_t kSettingsFileName[] = u"VKRSYS.DAT";
inline constexpr char16_t kTargetListFileName[] = u"VKRTARGET.INI";

// Sets up who the program is and where its files live (util/appfiles.h)
// for the running executable, with the title below. Main then fixes the
// paths of the settings file and the target list from it.
void SetUpAppFiles();

// Program name, two blanks, version text: the caption of both windows.
std::u16string GetAppTitle();

// The executable's base name without extension.
std::u16string ProgramName();
// A copy that keeps every file in dir, under the given name (tests).
void SetProgramLocation(std::u16string dir, std::u16string name);

// The settings loader that the main window calls on each validation of the
// target box. Start-up installs LoadSystemSettings; until then (and in tests
// that install their own) a stand-in leaves SystemSettings as it is.
#include <functional>
void SetSettingsLoader(std::function<bool()> loader);  // empty: the stand-in
bool CallSettingsLoader();
