// HTTP(S) through libcurl for the calibration manager: downloading calibration files from the
// maker's server and checking that its web site can be reached. Blocks the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

enum class DownloadResult {
    Done,
    Failed,
    TooLarge,
    ProtocolRefused,
    TooSlow,   // below the minimum rate over httpTimeoutSeconds(), once connected
    TimedOut,  // no connection within httpTimeoutSeconds()
    CutShort,  // the connection ended before the announced length
    Refused,   // complete, but the body check refused it
};

// Seconds allowed for a connection and the window over which a transfer must keep its minimum
// rate: 10, or KELVIX_HTTP_TIMEOUT (tests shorten every download time with it).
long httpTimeoutSeconds();

// What one transfer may take. A transfer that keeps its pace runs until it ends or reaches
// maxBytes, however long that takes.
struct TransferLimits {
    std::uint64_t maxBytes = 0;
    // Slower than this over httpTimeoutSeconds() is TooSlow.
    long minBytesPerSecond = 0;
};

// Judges a complete body, in the file at the path given, before it is moved into place; false
// refuses it.
using BodyCheck = std::function<bool(const std::wstring& path)>;

// Blocking download of url into the file at path. Only http and https are spoken, also by the
// redirects that are followed; a body longer or a transfer slower than the limits is refused;
// HTTP error statuses count as failure. The body goes to a new partial file
// "<path>.<8 hex digits>.part", never through a link planted there, locked while the download
// runs, and is moved into place only when complete and accepted by `check` (if given).
DownloadResult downloadToFile(const std::string& url, const std::wstring& path,
                              const TransferLimits& limits, const BodyCheck& check = nullptr);

// Removes the partial files in `dir` that no running download holds (left by a process that
// was killed) and whose target name `ours` accepts; how many it removed.
int removeStalePartialFiles(const std::wstring& dir,
                            const std::function<bool(const std::wstring& name)>& ours);

// For programs: SIGINT, SIGTERM and SIGHUP remove the partial files of the running downloads
// and then end the process as the signal would. Signals the process was started ignoring stay
// ignored.
void removePartialFilesOnSignals();

// Whether a connection to the host of url can be made now.
bool canConnect(const std::string& url);

// Replaces every blank in url by its %20 escape.
std::string escapeBlanks(const std::string& url);

}  // namespace platform
