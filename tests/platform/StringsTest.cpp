// The platform's string helpers: bounded copies and byte-exact wide conversions in any locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cwchar>
#include <random>
#include <string>

#include "platform/Strings.h"

namespace {

TEST(Strings, CopyBoundedCutsToTheBufferAndTerminates) {
    wchar_t buf[5];
    std::wmemset(buf, L'x', 5);
    platform::copyBounded(buf, 5, L"abcdefgh");
    EXPECT_STREQ(buf, L"abcd");

    platform::copyBounded(buf, 5, L"ab");
    EXPECT_STREQ(buf, L"ab");

    platform::copyBounded(buf, 1, L"abc");
    EXPECT_EQ(buf[0], L'\0');

    buf[0] = L'q';
    platform::copyBounded(buf, 0, L"abc");  // no room at all: untouched
    EXPECT_EQ(buf[0], L'q');
}

// File names are bytes: every byte string survives the trip through wide text, in the C
// locale of a program that never sets one and in a UTF-8 locale alike.
TEST(Strings, ConversionsRoundTripEveryByteStringWhateverTheLocale) {
    std::mt19937 random(7);
    for (const char* locale : {"C", "C.UTF-8"}) {
        if (std::setlocale(LC_ALL, locale) == nullptr) {
            continue;
        }
        EXPECT_EQ(platform::toWide("caf\xC3\xA9 \xE2\x82\xAC"), L"caf\u00E9 \u20AC") << locale;
        EXPECT_EQ(platform::toNarrow(L"caf\u00E9 \U0001F321"), "caf\xC3\xA9 \xF0\x9F\x8C\xA1");
        for (int n = 0; n < 2000; ++n) {
            std::string bytes(1 + n % 12, '\0');
            for (char& c : bytes) {
                c = static_cast<char>(1 + random() % 255);
            }
            if (n < 255) {
                bytes = std::string(1, static_cast<char>(n + 1)) + "\xED\xB2\x80\xC0\xAF\xF4\x90";
            }
            ASSERT_EQ(platform::toNarrow(platform::toWide(bytes)), bytes) << locale << " " << n;
        }
        // Cutting for log text never splits a character.
        EXPECT_EQ(platform::toNarrowBounded(L"a\u00E9", 2), "a");
    }
    std::setlocale(LC_ALL, "C");
}

}  // namespace
