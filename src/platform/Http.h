// HTTP(S) through libcurl for the calibration manager: downloading calibration files from the
// maker's server and checking that its web site can be reached. Blocks the calling thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class DownloadResult { Done, Failed, TooLarge, ProtocolRefused, TooSlow, TimedOut };

// Seconds allowed for a connection and for a transfer to fall below its minimum rate: 10, or
// KELVIX_HTTP_TIMEOUT (tests shorten every download time with it).
long httpTimeoutSeconds();

// What one transfer may take.
struct TransferLimits {
    std::uint64_t maxBytes = 0;
    // Slower than this over httpTimeoutSeconds() is TooSlow.
    long minBytesPerSecond = 0;
    // The whole transfer, connection included; later is TimedOut.
    std::int64_t deadlineMs = 0;
};

// Blocking download of url into the file at path. Only http and https are spoken, also by the
// redirects that are followed; a body longer, a transfer slower or longer than the limits is
// refused; HTTP error statuses count as failure. The body goes to a new file of a name of its
// own beside path, never through a link planted there, and is moved into place only when
// complete.
DownloadResult downloadToFile(const std::string& url, const std::wstring& path,
                              const TransferLimits& limits);

// Whether a connection to the host of url can be made now.
bool canConnect(const std::string& url);

// Replaces every blank in url by its %20 escape.
std::string escapeBlanks(const std::string& url);

}  // namespace platform
