#include "platform/Strings.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

namespace platform {

std::string toNarrowBounded(const wchar_t* text, std::size_t maxBytes) {
    std::string out;
    if (text == nullptr) {
        return out;
    }
    std::mbstate_t state{};
    char buf[MB_LEN_MAX];
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        std::size_t n = std::wcrtomb(buf, *p, &state);
        if (n == static_cast<std::size_t>(-1)) {
            state = std::mbstate_t{};
            buf[0] = '?';
            n = 1;
        }
        if (out.size() + n > maxBytes) {
            break;
        }
        out.append(buf, n);
    }
    return out;
}

std::string toNarrow(const wchar_t* text) {
    return toNarrowBounded(text, std::string::npos - 1);
}

std::string toNarrow(const std::wstring& text) {
    return toNarrow(text.c_str());
}

std::wstring toWide(const char* text) {
    std::wstring out;
    if (text == nullptr) {
        return out;
    }
    std::mbstate_t state{};
    const char* p = text;
    const char* end = text + std::char_traits<char>::length(text);
    while (p < end) {
        wchar_t wc = 0;
        std::size_t n = std::mbrtowc(&wc, p, static_cast<std::size_t>(end - p), &state);
        if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) {
            state = std::mbstate_t{};
            out.push_back(L'?');
            ++p;
            continue;
        }
        if (n == 0) {
            break;
        }
        out.push_back(wc);
        p += n;
    }
    return out;
}

std::wstring toWide(const std::string& text) {
    return toWide(text.c_str());
}

void copyBounded(wchar_t* dst, std::size_t capacity, const std::wstring& text) {
    if (capacity == 0) {
        return;
    }
    const std::size_t n = std::min(text.size(), capacity - 1);
    std::wmemcpy(dst, text.data(), n);
    dst[n] = L'\0';
}

std::string toLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::wstring toLower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

std::wstring widenBytes(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

}  // namespace platform
