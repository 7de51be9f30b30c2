#include "app/commandline.h"

#include <cstring>
#include <string_view>

#ifndef VELKOR_VERSION
#define VELKOR_VERSION "0.0.0"
#endif

namespace {

// The program's own options: the parser and --help both read this table.
struct OwnOption {
  const char* name;
  CommandAction action;
  const char* help;
};
constexpr OwnOption kOwnOptions[] = {
    {"--version", CommandAction::Version, "print the version and exit"},
    {"--help", CommandAction::Help, "print this help and exit"},
};

// Qt's standard options (QGuiApplication, QApplication, the X11 platform),
// which Qt takes out of the command line itself. Qt accepts them with one
// dash or two; those with a value take it as the next argument or after '='.
struct QtOption {
  const char* name;
  bool takesValue;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true},   {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"display", true},    {"session", true},            {"style", true},         {"stylesheet", true},
    {"qwindowgeometry", true}, {"geometry", true},      {"qwindowtitle", true},  {"title", true},
    {"qwindowicon", true}, {"icon", true},              {"name", true},          {"visual", true},
    {"qmljsdebugger", true}, {"reverse", false},        {"widgetcount", false},  {"nograb", false},
    {"dograb", false},    {"sync", false},              {"testability", false},
};

const QtOption* FindQtOption(std::string_view name) {
  for (const QtOption& o : kQtOptions)
    if (name == o.name) return &o;
  return nullptr;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i] ? argv[i] : "";
    for (const OwnOption& o : kOwnOptions)
      if (arg == o.name) return {o.action, {}};
    std::string_view name = arg;
    if (name.starts_with("--")) name.remove_prefix(2);
    else if (name.starts_with("-")) name.remove_prefix(1);
    else return {CommandAction::Usage, std::string(arg)};
    const size_t eq = name.find('=');
    const QtOption* qt = FindQtOption(name.substr(0, eq));
    if (!qt || (eq != std::string_view::npos && !qt->takesValue)) return {CommandAction::Usage, std::string(arg)};
    if (qt->takesValue && eq == std::string_view::npos && ++i >= argc) return {CommandAction::Usage, std::string(arg)};
  }
  return {};
}

std::string VersionText(const std::string& program) { return program + " " + VELKOR_VERSION + "\n"; }

std::string HelpText(const std::string& configDir, const std::string& stateDir) {
  std::string t =
      "Usage: velkor [OPTION | QT-OPTION...]\n"
      "Diagnoses the services of a server: ICMP echo, SMB share list, SMTP, POP3,\n"
      "FTP and HTTP, plain or in TLS. Without options it opens its window.\n\nOptions:\n";
  for (const OwnOption& o : kOwnOptions) {
    t += "  ";
    t += o.name;
    t.append(12 - std::strlen(o.name), ' ');
    t += o.help;
    t += '\n';
  }
  t += "\nQt's standard options are passed to Qt:";
  size_t column = 80;
  for (const QtOption& o : kQtOptions) {
    const std::string item = std::string(" -") + o.name + (o.takesValue ? " VALUE" : "");
    if (column + item.size() > 78) {
      t += "\n ";
      column = 1;
    }
    t += item;
    column += item.size();
  }
  // The directories on lines of their own, so that the help stays within 80 columns.
  t += "\n\nSettings, target list and error script:\n  " + configDir + "\nLogs and last-error log:\n  " + stateDir +
       "\n\nvelkor-check runs the same checks for monitoring schedulers and sweeps.\n"
       "The manuals: man velkor, man velkor-check.\n";
  return t;
}

std::string UsageText(const std::string& offending) {
  return "velkor: unknown argument '" + offending + "'\nUsage: velkor [--version | --help | QT-OPTION...]\n";
}
