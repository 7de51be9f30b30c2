#pragma once
// The settings file VKRSYS.DAT: a key-per-line settings text, scrambled, then
// Base64-encoded. SystemSettings (appstate.h) is its record in memory.
#include <string>

#include "app/appstate.h"

// Header line of the settings text.
inline constexpr char16_t kSettingsHeader[] = u"# <Velkor -- Config>";

// The file holds the password (scrambled only): owner read/write alone, the
// ".bak" copy too.
inline constexpr unsigned kSettingsFileMode = 0600;

// Reads a settings text (the file decoded and unscrambled) into record: the
// value of each known key, a later line winning. line: the line being read,
// for the caller's report when a failure leaves the reading.
void ReadSettingsText(const std::u16string& text, SystemSettingsRecord& record, std::u16string& line);

// The settings text the file stores for record, before scrambling: the
// header, then "KEY:" TAB value for each field that is not empty.
std::u16string SettingsText(const SystemSettingsRecord& record);

// Refills SystemSettings from the file and has the settings dialog check (and
// default) them. True when the check passed and the file holds at least one
// byte. A missing file answers false without a report; so does a file the
// reader refuses (anything but a regular file, over 16 MiB), which leaves
// one error-log line.
bool LoadSystemSettings();

// Trims every field in place and rewrites the file. False when the file could
// not be written (reported).
bool SaveSystemSettings();
