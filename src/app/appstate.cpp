#include "app/appstate.h"

#include <unistd.h>

#include <climits>
#include <optional>

#include "util/codepage.h"
#include "util/sysutil.h"

SystemSettingsRecord SystemSettings;
std::u16string SettingsFilePath;
std::u16string TargetListFilePath;
bool SettingsMsgBoxFlag = false;

namespace {
struct Location {
  std::u16string dir;
  std::u16string name;
};

Location ReadOwnLocation() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {u".", u"velkor"};
  std::u16string path = FromUtf8(std::string_view(buf, static_cast<size_t>(n)));
  size_t slash = path.rfind(u'/');
  std::u16string dir = slash == std::u16string::npos ? u"." : path.substr(0, slash);
  if (dir.empty()) dir = u"/";
  std::u16string base = slash == std::u16string::npos ? path : path.substr(slash + 1);
  size_t dot = base.rfind(u'.');
  if (dot != std::u16string::npos && dot > 0) base.resize(dot);
  return {dir, base};
}

std::optional<Location>& Override() {
  static std::optional<Location> loc;
  return loc;
}

const Location& Own() {
  static const Location loc = ReadOwnLocation();
  return loc;
}
}  // namespace

std::u16string ProgramDir() { return Override() ? Override()->dir : Own().dir; }
std::u16string ProgramName() { return Override() ? Override()->name : Own().name; }

void SetProgramLocation(std::u16string dir, std::u16string name) {
  Override() = Location{std::move(dir), std::move(name)};
}

std::u16string ProgramFilePath(std::u16string_view fileName) {
  std::u16string dir = ProgramDir();
  if (dir.empty() || dir.back() != u'/') dir += u'/';
  return dir + std::u16string(fileName);
}

std::u16string GetAppTitle() { return ProgramName() + u"  " + GetVersionText(); }

namespace {
std::function<bool()>& Loader() {
  static std::function<bool()> loader;
  return loader;
}
}  // namespace

void SetSettingsLoader(std::function<bool()> loader) { Loader() = std::move(loader); }

bool CallSettingsLoader() { return Loader() ? Loader()() : true; }
