#include "util/log.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/appstate.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace fs = std::filesystem;

namespace {

LogWriteHook& WriteHook() {
  static LogWriteHook hook;
  return hook;
}

// Runs one log write, through the hook when one is set.
void Write(bool errorLog, const std::u16string& message, const std::function<void()>& write) {
  if (WriteHook())
    WriteHook()(errorLog, message, write);
  else
    write();
}

std::u16string& ErrorLogPrefix() {
  static std::u16string prefix;
  return prefix;
}

fs::path PathOf(const std::u16string& p) { return fs::path(ToUtf8(p)); }

// Log failures are the program's own: its name is the source, and the file
// and the system's reason go into the description.
Failure FsFailure(const std::error_code& ec, const fs::path& path) {
  int32_t number = ec == std::errc::no_such_file_or_directory ? ErrNo::FileNotFound : ErrNo::FileAccess;
  return Failure{number, ProgramName(),
                 ErrorDescription(number) + u" " + FromUtf8(path.string()) + u" (" + FromUtf8(ec.message()) + u")"};
}

// One step of a log write. Reports go to `onFailure`; a missing file counts
// as nothing to do where the caller says so.
template <typename Step>
void TryStep(Step step, bool quiet) {
  std::error_code ec;
  fs::path where;
  step(ec, where);
  if (!ec || quiet) return;
  Failure f = FsFailure(ec, where);
  if (f.number == ErrNo::FileNotFound) return;
  ShowMessageBox(BuildErrorReport(u"", f, NumberForm::Signed, ReportLayout::A));
}

void WriteRotating(const std::u16string& prefix, const std::u16string& line, bool quiet) {
  const fs::path current = PathOf(ProgramFilePath(prefix + u"1.log"));
  const fs::path previous = PathOf(ProgramFilePath(prefix + u"2.log"));
  bool rotate = false;
  TryStep(
      [&](std::error_code& ec, fs::path& where) {
        where = current;
        auto size = fs::file_size(current, ec);
        if (!ec && size > static_cast<uintmax_t>(kLogRotateBytes)) rotate = true;
      },
      quiet);
  if (rotate) {
    TryStep(
        [&](std::error_code& ec, fs::path& where) {
          where = current;
          fs::copy_file(current, previous, fs::copy_options::overwrite_existing, ec);
        },
        quiet);
    TryStep(
        [&](std::error_code& ec, fs::path& where) {
          where = current;
          if (!fs::remove(current, ec) && !ec) ec = std::make_error_code(std::errc::no_such_file_or_directory);
        },
        quiet);
  }
  TryStep(
      [&](std::error_code& ec, fs::path& where) {
        where = current;
        std::ofstream out(current, std::ios::binary | std::ios::app);
        if (!out) {
          ec = std::make_error_code(std::errc::permission_denied);
          return;
        }
        std::string bytes = ToAnsi(line);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) ec = std::make_error_code(std::errc::io_error);
      },
      quiet);
}

}  // namespace

void WriteLog(const std::u16string& prefix, const std::u16string& message) {
  Write(false, message, [&] { WriteRotating(prefix, TimeStamp() + u" *** " + message + u"\r\n", false); });
}

void WriteErrorLog(const std::u16string& message) {
  if (xNullTrim(ErrorLogPrefix()).empty()) ErrorLogPrefix() = ProgramName() + u"ERR";
  std::u16string line(1, u' ');
  line += TimeStamp();
  line += u" *** ";
  line += message;
  line += u"\r\n";
  Write(true, message, [&] { WriteRotating(ErrorLogPrefix(), line, true); });
}

void ReportError(const std::u16string& message) {
  if (SettingsMsgBoxFlag) ShowMessageBox(message);
  WriteErrorLog(message);
}

void SetLogWriteHook(LogWriteHook hook) { WriteHook() = std::move(hook); }

void ResetErrorLogPrefix() { ErrorLogPrefix().clear(); }
