// HTTP(S) through libcurl for the calibration manager: downloading calibration files from the
// maker's server and checking that its web site can be reached. Blocks the calling thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class DownloadResult { Done, Failed, TooLarge, ProtocolRefused };

// Blocking download of url into the file at path. Only http and https are spoken, also by the
// redirects that are followed; a body of more than maxBytes bytes is refused; HTTP error
// statuses count as failure, a stalled or unreachable server fails after a bounded time, and a
// partial file is removed on failure.
DownloadResult downloadToFile(const std::string& url, const std::wstring& path,
                              std::uint64_t maxBytes);

// Whether a connection to the host of url can be made now.
bool canConnect(const std::string& url);

// Replaces every blank in url by its %20 escape.
std::string escapeBlanks(const std::string& url);

}  // namespace platform
