// Files and directories for the whole library: the application-data folder, path joins,
// existence checks, bounded reads of regular files, and the environment and scratch directories
// that programs and tests set up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

constexpr wchar_t kPathSeparator = L'/';

// The user's application-data folder: $XDG_DATA_HOME, else $HOME/.local/share.
// False when neither is set.
bool appDataFolder(std::wstring& out);

// a + '/' + b.
std::wstring joinPath(const std::wstring& a, const std::wstring& b);

// Creates the directory and any missing parents; true when it exists afterwards.
bool createDirectory(const std::wstring& path);

bool fileExists(const std::wstring& path);  // a regular file
bool pathExists(const std::wstring& path);  // anything: file, directory, FIFO, device
// The bytes a regular file really holds: its data without the holes of a sparse file (what
// reads of it return only as zeros). 0 when it cannot be opened.
std::uint64_t fileDataBytes(const std::wstring& path);
bool directoryExists(const std::wstring& path);

// The process's current directory; empty when it cannot be determined.
std::wstring currentDirectory();

enum class FileReadResult { Read, CannotOpen, NotRegular, TooLarge };

// Far above any configuration, calibration description, table or format definition file.
constexpr std::size_t kMaxTextFileBytes = 16u << 20;

// Reads the whole of a regular file of at most maxBytes bytes into `bytes`. Anything else
// (a directory, a device, a FIFO, which is never waited on) is refused before a byte is read.
FileReadResult readRegularFile(const std::wstring& path, std::string& bytes,
                               std::size_t maxBytes = kMaxTextFileBytes);
// Why a file was refused ("not a regular file", "larger than 16 MiB"); null when it was not.
const char* refusalReason(FileReadResult result);

}  // namespace platform

namespace platform {

// Process environment and scratch directories (used by programs and tests).
bool setEnvironment(const char* name, const char* value);  // null value unsets
bool changeDirectory(const std::wstring& path);
// A new empty directory under the system's temporary folder; empty on failure.
std::wstring makeTempDirectory(const char* prefix);
// Removes a directory tree (or a file); true when nothing is left.
bool removeTree(const std::wstring& path);

}  // namespace platform
