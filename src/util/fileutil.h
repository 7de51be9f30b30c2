#pragma once
// Whole-file access. Text goes through the CP932 code page (codepage.h), with
// no byte-order mark and no line-end translation. Paths are UTF-16 texts,
// stored on disk as UTF-8 names.
#include <cstdint>
#include <string>
#include <vector>

// False for a missing file and for a file of fewer than 2 bytes; reports nothing.
bool ReadFileBytes(const std::u16string& path, std::vector<uint8_t>& bytes);
// As ReadFileBytes, decoded; `text` is left unchanged on failure.
bool ReadWholeFile(const std::u16string& path, std::u16string& text);

// Replaces the whole file, keeping the previous content as path + ".bak";
// a failed write restores the backup. Data of fewer than 2 bytes fails.
// `mode` is the permission bits of a newly created file (and of its backup).
bool WriteFileBytes(const std::u16string& path, const std::vector<uint8_t>& bytes, unsigned mode = 0644);
bool WriteWholeFile(const std::u16string& path, const std::u16string& text, unsigned mode = 0644);

// True when a file (or anything) exists under the path.
bool FileExists(const std::u16string& path);
// Size in bytes; throws VkError with ErrNo::FileNotFound for a missing file
// and ErrNo::FileAccess for other failures.
int64_t FileLength(const std::u16string& path);
// Deletes a file; throws VkError (FileNotFound when missing).
void KillFile(const std::u16string& path);
