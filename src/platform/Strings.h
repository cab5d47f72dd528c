// Text conversions for the whole library: wide <-> UTF-8 narrow text that keeps any byte string,
// bounded copies, lower case, and bytes widened one by one. No shared state: any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Wide <-> narrow text. Narrow text is UTF-8 whatever the locale (file names are bytes, and a
// program need not set a locale); a byte that is not part of valid UTF-8 becomes a wide
// character of its own that converts back to that byte, so every byte string survives the
// round trip. Wide characters that UTF-8 cannot carry become '?'.
std::string toNarrow(const wchar_t* text);
std::string toNarrow(const std::wstring& text);
std::wstring toWide(const char* text);
std::wstring toWide(const std::string& text);

// Narrow copy for log text, cut to at most `maxBytes` bytes (never inside a character).
std::string toNarrowBounded(const wchar_t* text, std::size_t maxBytes);

// Copies text into a fixed buffer of `capacity` characters, cut to leave room for the
// terminator.
void copyBounded(wchar_t* dst, std::size_t capacity, const std::wstring& text);

// A new terminated copy as an array that the receiver frees with delete[], for the interfaces
// that hand strings over that way.
wchar_t* newWideArray(const std::wstring& text);

// Lower-case copy (the C library's case mapping of the current locale).
std::string toLower(std::string text);
std::wstring toLower(std::wstring text);

// Every byte becomes one wide character of the same value (files read byte by byte).
std::wstring widenBytes(const std::string& bytes);

// Lines of a file held whole in memory, one per call: the text from `pos` to the next LF
// (without the LF), `pos` moved past it. Unterminated: the rest of the text has no LF. TooLong:
// the line holds more than maxLength characters (a hole or a binary file read as text), and
// `line` is left empty.
enum class LineRead { Line, Unterminated, TooLong, End };
LineRead nextLine(std::string_view text, std::size_t& pos, std::size_t maxLength,
                  std::string_view& line);

}  // namespace platform
