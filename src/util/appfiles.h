#pragma once
// Who the program is and where each of its files lives. The logs, the error
// report, the settings, the target list, the last-error log and the error
// script ask this module; the front end sets it up once at start-up. Until
// then it answers for the running executable by the rule below.
//
// A copy counts as installed when the install's marker lies beside it:
// ../share/velkor/installed from the executable's real directory, written by
// the install and by nothing else. An installed copy keeps its files per
// user, as the XDG base directory conventions say: the operator's files
// (settings, target list, error script) in $XDG_CONFIG_HOME/velkor, the
// program's records (run and error logs, last-error log) in
// $XDG_STATE_HOME/velkor. Any other copy keeps every file beside itself.
#include <functional>
#include <string>
#include <string_view>

struct AppFiles {
  std::u16string name;       // the executable's base name without extension
  std::u16string title;      // caption of the windows and message boxes
  std::u16string configDir;  // settings, target list, error script
  std::u16string stateDir;   // run and error logs, last-error log
  std::u16string helperDir;  // the program's helpers (the ICMP socket opener)
  bool perUser = false;      // installed: the two directories are made (0700) on first use
};

// An environment variable's value; null when unset.
using EnvLookup = std::function<const char*(const char*)>;

// The rule for an executable at exePath (its real path, symbolic links
// resolved). The title is the name.
AppFiles LocateAppFiles(const std::string& exePath, const EnvLookup& env);
// The rule for the running executable (/proc/self/exe) and the process's environment.
AppFiles LocateOwnAppFiles();

void SetAppFiles(AppFiles files);
const AppFiles& CurrentAppFiles();

std::u16string AppName();
std::u16string AppTitle();
// Full paths of files in the directories above. For an installed copy the
// directory is created when missing (mode 0700, parents too), so the first
// write finds it; a failure shows in that write, which names the path.
std::u16string ConfigFilePath(std::u16string_view fileName);
std::u16string StateFilePath(std::u16string_view fileName);
std::u16string HelperFilePath(std::u16string_view fileName);

// The settings message-box flag: while true, ReportError also shows each
// report in a message box.
extern bool AppMsgBoxFlag;
