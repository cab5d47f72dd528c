#include "platform/Http.h"

#include <curl/curl.h>

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

size_t writeToFile(char* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<std::FILE*>(file)) * size;
}

}  // namespace

bool downloadToFile(const std::string& url, const std::wstring& path) {
    globalInit();
    // Written beside the target and moved into place when complete, so a failed download
    // never leaves a partial or emptied file under the final name.
    const std::string target = toNarrow(path);
    const std::string partial = target + ".part";
    std::FILE* file = std::fopen(partial.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    CURL* curl = curl_easy_init();
    bool ok = false;
    if (curl != nullptr) {
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, file);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeoutSeconds(15));
        // Large files may take long; only a stalled transfer is given up.
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, timeoutSeconds(30));
        ok = curl_easy_perform(curl) == CURLE_OK;
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
    return ok;
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
