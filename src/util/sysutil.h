#pragma once
// Facts about the program and the machine.
#include <string>

// "Ver： " + major.minor.revision of the program (0.2.5).
std::u16string GetVersionText();

// This computer's host name, trimmed of NULs and blanks; empty on failure.
std::u16string GetLocalComputerName();
