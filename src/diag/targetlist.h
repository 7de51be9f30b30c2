#pragma once
// The target host list (VKRTARGET.INI) and the rules of one target entry,
// host[:smtp[:pop[:ftp[:http]]]]. The main window applies them to its
// controls.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/appstate.h"

// The entries of the target list text, in file order: blanks and TABs
// ignored everywhere, any line end, "#" starts a comment, empty lines skipped.
// lines, when given, gets each entry's line number in the text (from 1;
// CR LF, CR and LF each end a line). At most `limit` entries are made; the
// rest of the text is not read.
std::vector<std::u16string> ParseTargetList(std::u16string text, std::vector<size_t>* lines = nullptr,
                                            size_t limit = SIZE_MAX);

// Reads and parses the target list file. A missing or empty file gives no
// entries, and so does one the reader refuses (anything but a regular file,
// over 16 MiB: one error-log line); any other failure leaves as a VkError for
// the caller's handler.
std::vector<std::u16string> ReadTargetList(const std::u16string& path);

// What the target host box holds before an entry is applied: the hidden
// target text and the default ticks (SMTP, POP, FTP, HTTP; not PING, NetBIOS).
inline constexpr char16_t kDefaultTargetText[] = u"localhost:25:110:21:80";
std::array<bool, 6> DefaultServiceTicks();

// Outcome of applying an entry.
struct TargetEntry {
  std::u16string target = kDefaultTargetText;  // the hidden target text
  std::array<bool, 6> ticked = DefaultServiceTicks();
};

// An entry's host and the text of its port fields. An IPv6 address is
// written in brackets, "[2001:db8::25]:25,587t:995s" or "[::1]": the host is
// the address without them, the port fields follow the "]:". Any other entry
// splits at its first ":" as it always has ("a::c" is the host a). An entry
// that opens a bracket and does not close it, or has more than ":" after
// the "]", is malformed: it splits as any other entry, so its host ("[" ...)
// resolves to nothing.
struct EntryParts {
  std::u16string host;    // field 1 (the missing-field marker for an empty text)
  std::u16string ports;   // the text after the host's ":" (fields 2 to 5)
  bool hasPorts = false;  // there was such a ":"
  bool bracketed = false; // the host was written in brackets
  bool malformed = false; // an unclosed bracket, or text between "]" and ":"
};
EntryParts SplitEntry(const std::u16string& entry);

// Applies an entry: field 1 becomes the target (an IPv6 address without its brackets), a port field that is a port
// list (digits and commas, each port with at most one TLS suffix "s" or "t",
// tlsport.h) ticks its service and is stored into `settings`, any other
// non-empty field unticks it; empty fields keep the defaults.
TargetEntry ApplyTargetEntry(const std::u16string& entry, SystemSettingsRecord& settings);

// The entry text that the validation uses: the selected item when one is
// selected and not blank, else the typed text when not blank, else "".
std::u16string ChooseEntryText(const std::optional<std::u16string>& selectedItem, const std::u16string& typedText);

// Field 1 of the box's text (the missing-field marker when the text is
// blank); a bracketed IPv6 address without its brackets.
std::u16string EntryHostField(const std::u16string& boxText);
// The same, cleared of NULs and blanks: "" when there is no host.
std::u16string EntryHostName(const std::u16string& boxText);

// The target line of the result list: "[TargetHost] host" for an empty
// list, else "[TargetHost：number/count] host".
std::u16string TargetHostInfoLine(int count, int selectedIndex, const std::u16string& boxText);

// The monitoring interval in minutes when `interval` is all digits with a
// value from 1 to 32767; nothing (no monitoring) for anything else.
std::optional<int16_t> MonitoringInterval(std::u16string_view interval);

// Caption of the counter label: counter + " / " + interval as stored + " 回",
// or "" when there is no monitoring.
std::u16string TimeoutInfoText(int16_t minuteCounter, const std::u16string& interval);
