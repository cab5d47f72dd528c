// libcurl behind the downloads: http and https only, bounded size and stall time, the body
// written to "<file>.part" and moved into place only when complete.
#include "platform/Http.h"

#include <curl/curl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/Strings.h"

namespace platform {

namespace {

// Seconds to wait for a connection, and for data on an established one; KELVIX_HTTP_TIMEOUT
// overrides both.
long timeoutSeconds(long fallback) {
    const char* text = std::getenv("KELVIX_HTTP_TIMEOUT");
    if (text != nullptr) {
        long v = std::strtol(text, nullptr, 10);
        if (v > 0) {
            return v;
        }
    }
    return fallback;
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
    std::FILE* file;
    std::uint64_t written;
    std::uint64_t maxBytes;
    bool tooLarge;
};

// Writing less than offered makes the transfer fail.
size_t writeToFile(char* data, size_t size, size_t count, void* target) {
    Sink& sink = *static_cast<Sink*>(target);
    const std::uint64_t bytes = static_cast<std::uint64_t>(size) * count;
    if (bytes > sink.maxBytes - sink.written) {
        sink.tooLarge = true;
        return 0;
    }
    sink.written += bytes;
    return std::fwrite(data, 1, bytes, sink.file);
}

}  // namespace

DownloadResult downloadToFile(const std::string& url, const std::wstring& path,
                              std::uint64_t maxBytes) {
    globalInit();
    // Written beside the target and moved into place when complete, so a failed download
    // never leaves a partial or emptied file under the final name.
    const std::string target = toNarrow(path);
    const std::string partial = target + ".part";
    std::FILE* file = std::fopen(partial.c_str(), "wb");
    if (file == nullptr) {
        return DownloadResult::Failed;
    }
    CURL* curl = curl_easy_init();
    bool ok = false;
    CURLcode code = CURLE_OK;
    Sink sink{file, 0, maxBytes, false};
    if (curl != nullptr) {
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        // No file://, ftp:// or other scheme, neither in the link nor behind a redirect.
#if LIBCURL_VERSION_NUM >= 0x075500
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS, long{CURLPROTO_HTTP | CURLPROTO_HTTPS});
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, long{CURLPROTO_HTTP | CURLPROTO_HTTPS});
#endif
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeoutSeconds(15));
        // Large files may take long; only a stalled transfer is given up.
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, timeoutSeconds(30));
        code = curl_easy_perform(curl);
        ok = code == CURLE_OK;
        curl_easy_cleanup(curl);
    }
    if (std::fclose(file) != 0) {
        ok = false;
    }
    if (ok && std::rename(partial.c_str(), target.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        std::remove(partial.c_str());
    }
    if (ok) {
        return DownloadResult::Done;
    }
    if (sink.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        return DownloadResult::TooLarge;
    }
    return code == CURLE_UNSUPPORTED_PROTOCOL ? DownloadResult::ProtocolRefused
                                              : DownloadResult::Failed;
}

bool canConnect(const std::string& url) {
    globalInit();
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return false;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeoutSeconds(10));
    bool ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_cleanup(curl);
    return ok;
}

std::string escapeBlanks(const std::string& url) {
    std::string out;
    out.reserve(url.size());
    for (char c : url) {
        if (c == ' ') {
            out += "%20";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace platform
