#pragma once

#include <string>

namespace platform {

// Blocking download of url into the file at path. Redirects are followed, HTTP error statuses
// count as failure, a stalled or unreachable server fails after a bounded time, and a partial
// file is removed on failure.
bool downloadToFile(const std::string& url, const std::wstring& path);

// Whether a connection to the host of url can be made now.
bool canConnect(const std::string& url);

// Replaces every blank in url by its %20 escape.
std::string escapeBlanks(const std::string& url);

}  // namespace platform
