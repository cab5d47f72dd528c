#pragma once

#include <cstddef>
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

bool fileExists(const std::wstring& path);
bool directoryExists(const std::wstring& path);

// The process's current directory; empty when it cannot be determined.
std::wstring currentDirectory();

enum class FileReadResult { Read, CannotOpen, NotRegular, TooLarge };

// Reads the whole of a regular file of at most maxBytes bytes into `bytes`. Anything else
// (a directory, a device, a FIFO, which is never waited on) is refused before a byte is read.
FileReadResult readRegularFile(const std::wstring& path, std::size_t maxBytes, std::string& bytes);

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
