#pragma once
// The settings file VKRSYS.DAT: a key-per-line settings text, scrambled, then
// Base64-encoded. SystemSettings (appstate.h) is its record in memory.
#include <string>

// Header line of the settings text.
inline constexpr char16_t kSettingsHeader[] = u"# <Velkor -- Config>";

// The file holds the password (scrambled only): owner read/write alone, the
// ".bak" copy too.
inline constexpr unsigned kSettingsFileMode = 0600;

// Refills SystemSettings from the file and has the settings dialog check (and
// default) them. True when the check passed and the file holds at least one
// byte. A missing file answers false without a report; so does a file the
// reader refuses (anything but a regular file, over 16 MiB), which leaves
// one error-log line.
bool LoadSystemSettings();

// Trims every field in place and rewrites the file. False when the file could
// not be written (reported).
bool SaveSystemSettings();
