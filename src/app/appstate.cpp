#include "app/appstate.h"

#include "util/sysutil.h"

SystemSettingsRecord SystemSettings;
std::u16string SettingsFilePath;
std::u16string TargetListFilePath;

namespace {
std::u16string TitleOf(const std::u16string& name) { return name + u"  " + GetVersionText(); }
}  // namespace

void SetUpAppFiles() {
  AppFiles files = LocateOwnAppFiles();
  files.title = TitleOf(files.name);
  SetAppFiles(std::move(files));
}

std::u16string GetAppTitle() { return AppTitle(); }
std::u16string ProgramName() { return AppName(); }

void SetProgramLocation(std::u16string dir, std::u16string name) {
  AppFiles files;
  files.title = TitleOf(name);
  files.name = std::move(name);
  files.configDir = files.stateDir = files.helperDir = std::move(dir);
  SetAppFiles(std::move(files));
}

namespace {
std::function<bool()>& Loader() {
  static std::function<bool()> loader;
  return loader;
}
}  // namespace

void SetSettingsLoader(std::function<bool()> loader) { Loader() = std::move(loader); }

bool CallSettingsLoader() { return Loader() ? Loader()() : true; }
