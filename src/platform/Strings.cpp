// UTF-8 coded by hand, so that the result does not depend on the locale; a byte that is not
// UTF-8 travels as one escape character in U+DC80..U+DCFF and converts back to itself.
#include "platform/Strings.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cwchar>
#include <cwctype>

namespace platform {

namespace {

// A byte that is no part of valid UTF-8 becomes one wide character of this block (lone
// surrogates, which UTF-8 cannot carry), so that it converts back to the same byte.
constexpr wchar_t kEscapeBase = 0xDC00;

bool isEscape(wchar_t c) {
    return c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF;
}

// Appends the UTF-8 form of `c` (or its escaped byte) to `out`; false for a value that has
// none (a surrogate or beyond U+10FFFF).
bool appendUtf8(std::string& out, wchar_t wc) {
    const auto c = static_cast<std::uint32_t>(wc);
    if (isEscape(wc)) {
        out.push_back(static_cast<char>(c - kEscapeBase));
    } else if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x110000) {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        return false;
    }
    return true;
}

// Length of the valid UTF-8 sequence at p (at most `left` bytes), its value in `c`; 0 when
// the bytes there are not one (overlong, surrogate, out of range or cut short).
std::size_t decodeUtf8(const unsigned char* p, std::size_t left, std::uint32_t& c) {
    const unsigned char b = p[0];
    std::size_t n;
    std::uint32_t min;
    if (b < 0x80) {
        c = b;
        return 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        n = 2, min = 0x80, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3, min = 0x800, c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4, min = 0x10000, c = b & 0x07;
    } else {
        return 0;
    }
    if (n > left) {
        return 0;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return 0;
    }
    return n;
}

}  // namespace

std::string toNarrowBounded(const wchar_t* text, std::size_t maxBytes) {
    std::string out;
    if (text == nullptr) {
        return out;
    }
    std::string one;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        one.clear();
        if (!appendUtf8(one, *p)) {
            one = "?";
        }
        if (out.size() + one.size() > maxBytes) {
            break;
        }
        out += one;
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
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    std::size_t left = std::char_traits<char>::length(text);
    while (left > 0) {
        std::uint32_t c = 0;
        std::size_t n = decodeUtf8(p, left, c);
        if (n == 0) {
            c = kEscapeBase + *p;
            n = 1;
        }
        out.push_back(static_cast<wchar_t>(c));
        p += n;
        left -= n;
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

wchar_t* newWideArray(const std::wstring& text) {
    wchar_t* copy = new wchar_t[text.size() + 1];
    std::wmemcpy(copy, text.c_str(), text.size() + 1);
    return copy;
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

LineRead nextLine(std::string_view text, std::size_t& pos, std::size_t maxLength,
                  std::string_view& line) {
    line = std::string_view();
    if (pos >= text.size()) {
        return LineRead::End;
    }
    const std::size_t lf = text.find('\n', pos);
    const std::size_t stop = lf == std::string_view::npos ? text.size() : lf;
    if (stop - pos > maxLength) {
        pos = stop == text.size() ? stop : stop + 1;
        return LineRead::TooLong;
    }
    line = text.substr(pos, stop - pos);
    pos = stop == text.size() ? stop : stop + 1;
    return lf == std::string_view::npos ? LineRead::Unterminated : LineRead::Line;
}

}  // namespace platform
