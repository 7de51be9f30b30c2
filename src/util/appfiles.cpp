#include "util/appfiles.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "util/codepage.h"

// Where the install puts the marker and the helpers, seen from the directory
// of the installed executable (the build passes what GNUInstallDirs chose).
#ifndef VELKOR_MARKER_FROM_BINDIR
#define VELKOR_MARKER_FROM_BINDIR "../share/velkor/installed"
#endif
#ifndef VELKOR_HELPERS_FROM_BINDIR
#define VELKOR_HELPERS_FROM_BINDIR "../libexec/velkor"
#endif

bool AppMsgBoxFlag = false;

namespace fs = std::filesystem;

namespace {

// The per-user subdirectory is the program's, whatever the executable is called.
constexpr char kUserDirName[] = "velkor";

// The conventions ignore a value that is unset, empty or not absolute.
std::optional<std::string> AbsoluteVar(const EnvLookup& env, const char* name) {
  const char* v = env ? env(name) : nullptr;
  if (!v || v[0] != '/') return std::nullopt;
  return std::string(v);
}

std::optional<std::string> HomeDir(const EnvLookup& env) {
  if (auto home = AbsoluteVar(env, "HOME")) return home;
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] == '/')
    return std::string(found->pw_dir);
  return std::nullopt;
}

// $var/velkor, or $HOME/fallback/velkor; beside the executable without a home.
std::string UserDir(const EnvLookup& env, const char* var, const char* fallback, const std::string& exeDir) {
  if (auto base = AbsoluteVar(env, var)) return (fs::path(*base) / kUserDirName).lexically_normal().string();
  if (auto home = HomeDir(env)) return (fs::path(*home) / fallback / kUserDirName).lexically_normal().string();
  return exeDir;
}

std::string Trimmed(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// Makes dir and its missing parents, each 0700 whatever the umask.
void MakeUserDir(const std::u16string& dir) {
  const std::string path = ToUtf8(dir);
  struct stat st{};
  if (path.empty() || stat(path.c_str(), &st) == 0) return;
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) == 0) chmod(part.c_str(), 0700);
    if (slash == std::string::npos) break;
  }
}

std::optional<AppFiles>& Current() {
  static std::optional<AppFiles> files;
  return files;
}

std::u16string Join(const std::u16string& dir, std::u16string_view fileName) {
  std::u16string path = dir;
  if (path.empty() || path.back() != u'/') path += u'/';
  return path += fileName;
}

}  // namespace

AppFiles LocateAppFiles(const std::string& exePath, const EnvLookup& env) {
  const fs::path exe(exePath);
  std::string exeDir = Trimmed(exe.parent_path().string());
  if (exeDir.empty()) exeDir = exe.is_absolute() ? "/" : ".";
  std::string base = exe.filename().string();
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);

  AppFiles files;
  files.name = FromUtf8(base.empty() ? "velkor" : base);
  files.title = files.name;
  std::error_code ec;
  const fs::path marker = (fs::path(exeDir) / VELKOR_MARKER_FROM_BINDIR).lexically_normal();
  if (fs::is_regular_file(marker, ec)) {
    files.configDir = FromUtf8(UserDir(env, "XDG_CONFIG_HOME", ".config", exeDir));
    files.stateDir = FromUtf8(UserDir(env, "XDG_STATE_HOME", ".local/state", exeDir));
    files.helperDir = FromUtf8((fs::path(exeDir) / VELKOR_HELPERS_FROM_BINDIR).lexically_normal().string());
    files.perUser = true;
  } else {
    files.configDir = files.stateDir = files.helperDir = FromUtf8(exeDir);
  }
  return files;
}

AppFiles LocateOwnAppFiles() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  const std::string exe = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("./velkor");
  return LocateAppFiles(exe, [](const char* name) { return std::getenv(name); });
}

void SetAppFiles(AppFiles files) { Current() = std::move(files); }

const AppFiles& CurrentAppFiles() {
  if (!Current()) Current() = LocateOwnAppFiles();
  return *Current();
}

std::u16string AppName() { return CurrentAppFiles().name; }
std::u16string AppTitle() { return CurrentAppFiles().title; }

std::u16string ConfigFilePath(std::u16string_view fileName) {
  const AppFiles& f = CurrentAppFiles();
  if (f.perUser) MakeUserDir(f.configDir);
  return Join(f.configDir, fileName);
}

std::u16string StateFilePath(std::u16string_view fileName) {
  const AppFiles& f = CurrentAppFiles();
  if (f.perUser) MakeUserDir(f.stateDir);
  return Join(f.stateDir, fileName);
}

std::u16string HelperFilePath(std::u16string_view fileName) { return Join(CurrentAppFiles().helperDir, fileName); }
