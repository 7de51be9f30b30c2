#pragma once
// State that every window and module shares for the whole process.
#include <string>

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
extern std::u16string SettingsFilePath;    // <program dir>/VKRSYS.DAT
extern std::u16string TargetListFilePath;  // <program dir>/VKRTARGET.INI

// While true, ReportError also shows each report in a message box.
extern bool SettingsMsgBoxFlag;

inline constexpr char16_t kSettingsFileName[] = u"VKRSYS.DAT";
inline constexpr char16_t kTargetListFileName[] = u"VKRTARGET.INI";

// Program name, two blanks, version text: the caption of both windows.
std::u16string GetAppTitle();

// Directory of the running executable and its base name without extension.
// Tests may point them elsewhere with SetProgramLocation.
std::u16string ProgramDir();
std::u16string ProgramName();
void SetProgramLocation(std::u16string dir, std::u16string name);

// Joins the program directory and a file name: the files live beside the program.
std::u16string ProgramFilePath(std::u16string_view fileName);

// The settings loader that the main window calls on each validation of the
// target box. Start-up installs LoadSystemSettings; until then (and in tests
// that install their own) a stand-in leaves SystemSettings as it is.
#include <functional>
void SetSettingsLoader(std::function<bool()> loader);  // empty: the stand-in
bool CallSettingsLoader();
