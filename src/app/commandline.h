#pragma once
// The command line of the installed program. With no arguments the program
// starts its window as always. --version and --help answer on standard
// output before any display is needed; Qt's own standard options are left to
// Qt; anything else is a usage error.
#include <string>

// Exit statuses of the command line.
enum ExitStatus : int {
  kExitOk = 0,     // --version, --help, or the window closed
  kExitUsage = 2,  // an argument that is neither ours nor Qt's
};

enum class CommandAction { Run, Version, Help, Usage };

struct CommandLine {
  CommandAction action = CommandAction::Run;
  std::string offending;  // for Usage: the argument that was not understood
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

// The texts, each ending in a line feed. The help names where this copy's
// files live (configDir, stateDir).
// The version line of a command of this release: "velkor 0.2.5", "velkor-check 0.2.5".
std::string VersionText(const std::string& program = "velkor");
std::string HelpText(const std::string& configDir, const std::string& stateDir);
std::string UsageText(const std::string& offending);
