#include <gtest/gtest.h>

#include <cwchar>

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

}  // namespace
