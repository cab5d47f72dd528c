// The XML reader: the file is read once, the root element's inner text kept with comments cut out,
// and elements found by text search within the current element's bounds.
#include "kelvix/SimpleXML.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "kelvix/IRCalibrationManager.h"
#include "platform/Paths.h"
#include "platform/Strings.h"
#include "sdk/Log.h"

namespace zol {
namespace {

// Lines of this many characters or more end the reading (room for 4095 plus the terminator).
constexpr std::size_t kLineBuffer = 4096;
// Paths of calibration files are built into a buffer of this many characters.
constexpr std::size_t kMaxPath = 260;
// Log copies of paths and text are cut to this many bytes.
constexpr std::size_t kMaxLogBytes = 1023;

// Reads the file's lines as a text-mode stream with a line buffer of kLineBuffer characters
// would: CR before LF dropped, the line break not kept, and a line that does not fit ends
// the reading.
class LineReader {
  public:
    LineReader(const std::wstring& content, std::size_t from) : text_(content), pos_(from) {}

    bool next(std::wstring& line) {
        line.clear();
        if (pos_ >= text_.size()) {
            return false;
        }
        while (pos_ < text_.size()) {
            wchar_t c = text_[pos_];
            if (c == L'\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == L'\n') {
                ++pos_;  // text mode: CR LF reads as LF
                continue;
            }
            if (c == L'\n') {
                ++pos_;
                return true;
            }
            if (line.size() + 1 >= kLineBuffer) {
                pos_ = text_.size();  // too long: this line and the rest are dropped
                return false;
            }
            line.push_back(c);
            ++pos_;
        }
        return true;  // last line without a line break
    }

  private:
    const std::wstring& text_;
    std::size_t pos_;
};

// False when the file cannot be opened (nothing logged), or is refused (logged). The bound
// keeps memory in check: the reader holds about eight bytes per byte of the file.
bool readFile(const wchar_t* path, std::wstring& content) {
    const std::wstring widePath(path);
    if (platform::directoryExists(widePath)) {
        return false;
    }
    std::string bytes;
    const platform::FileReadResult result = platform::readRegularFile(widePath, bytes);
    if (const char* reason = platform::refusalReason(result)) {
        KLOG_ERROR("XML file " << platform::toNarrowBounded(path, kMaxLogBytes)
                               << " refused: " << reason);
        return false;
    }
    if (result != platform::FileReadResult::Read) {
        return false;
    }
    content = platform::widenBytes(bytes);
    return true;
}

std::wstring startTag(const wchar_t* tag) {
    return std::wstring(L"<") + tag + L">";
}
std::wstring endTag(const wchar_t* tag) {
    return std::wstring(L"</") + tag + L">";
}

}  // namespace

SimpleXML::SimpleXML() : length(0), start(), end(), depth(0) {}

SimpleXML::~SimpleXML() = default;

bool SimpleXML::open(const wchar_t* path, const wchar_t* rootName) {
    std::wstring content;
    if (path == nullptr || !readFile(path, content)) {
        KLOG_DEBUG("Failed to open file " << platform::toNarrowBounded(path, kMaxLogBytes));
        return false;
    }
    const std::wstring root = rootName != nullptr ? rootName : L"";
    const std::wstring rootOpen = L"<" + root;
    const std::wstring rootClose = L"</" + root + L">";

    text.reset(new wchar_t[content.size() + 1]);  // an empty file still needs the terminator
    wchar_t* const out = text.get();
    std::size_t kept = 0;

    // Without any "<" nothing is read.
    const std::size_t first = content.find(L'<');
    if (first != std::wstring::npos) {
        LineReader reader(content, first);
        std::wstring line;
        bool inRoot = false;
        while (reader.next(line)) {
            if (!inRoot) {
                const std::size_t at = line.find(rootOpen);
                if (at == std::wstring::npos) {
                    continue;
                }
                // Root start and end on one line: nothing inside.
                if (line.find(rootClose, at) != std::wstring::npos) {
                    break;
                }
                inRoot = true;
                continue;
            }
            if (line.find(rootClose) != std::wstring::npos) {
                break;
            }
            std::copy(line.begin(), line.end(), out + kept);
            kept += line.size();
        }
    }
    std::replace(out, out + kept, L'\r', L'\n');
    length = static_cast<int>(kept);
    depth = 0;
    out[length] = L'\0';

    // Comment delimiters in the order they appear; a closer that ends where an opener begins
    // stays before it.
    std::vector<CommentToken> tokens;
    const std::wstring_view view(out, kept);
    for (std::size_t i = 0; i < kept; ++i) {
        if (view.compare(i, 4, L"<!--") == 0) {
            tokens.push_back({0, static_cast<int>(i)});
        }
        if (view.compare(i, 3, L"-->") == 0) {
            tokens.push_back({1, static_cast<int>(i + 3)});
        }
    }
    std::stable_sort(
        tokens.begin(), tokens.end(),
        [](const CommentToken& a, const CommentToken& b) { return a.offset < b.offset; });

    std::vector<std::pair<int, int>> cuts;
    int nesting = 0;
    int blockStart = 0;
    bool balanced = true;
    for (const CommentToken& t : tokens) {
        if (t.type == 0) {
            if (nesting == 0) {
                blockStart = t.offset;
            }
            ++nesting;
        } else {
            --nesting;
            if (nesting < 0) {
                balanced = false;
                break;
            }
            if (nesting == 0) {
                cuts.emplace_back(blockStart, t.offset);
            }
        }
    }
    if (!balanced || nesting != 0) {
        KLOG_ERROR(platform::toNarrowBounded(out, kMaxLogBytes));
        KLOG_ERROR("Format of file " << platform::toNarrowBounded(path, kMaxLogBytes)
                                     << " is wrong. Verify, that the XML document is well-formed!");
        return false;
    }
    int write = 0;
    int read = 0;
    for (const auto& cut : cuts) {
        const int from = std::max(cut.first, read);
        if (from > read) {
            std::copy(out + read, out + from, out + write);
            write += from - read;
        }
        read = std::max(read, cut.second);
    }
    std::copy(out + read, out + length, out + write);
    write += length - read;
    length = write;
    out[length] = L'\0';
    resetToRoot();
    return true;
}

bool SimpleXML::openCaliFile(const wchar_t* directory, const wchar_t* name) {
    if (name == nullptr) {
        return false;
    }
    // An empty directory stands for the application-data folder's "Imager" folder.
    wchar_t path[kMaxPath];
    if (!IRCalibrationManager::getInstance()->createConfigFilepath(
            path, directory != nullptr ? directory : L"", static_cast<short>(kMaxPath), name,
            L".xml")) {
        return false;
    }
    return open(path, L"CaliData");
}

void SimpleXML::resetToRoot() {
    depth = 0;
    start[0] = 0;
    end[0] = length;
}

bool SimpleXML::openNode(const wchar_t* tag) {
    return openNodeAt(tag, 0);
}

bool SimpleXML::findChild(const wchar_t* tag, int from, int& childStart, int& childEnd) {
    const int e = end[depth];
    childStart = findTag(tag, from, e, false);
    if (childStart < 0) {
        return false;
    }
    childEnd = findTag(tag, childStart, e, true);
    return childEnd >= 0;
}

bool SimpleXML::openNodeAt(const wchar_t* tag, int index) {
    if (index < 0 || depth >= kMaxDepth || tag == nullptr) {
        return false;
    }
    int p = start[depth];
    int childStart = -1;
    int childEnd = -1;
    for (int i = 0; i <= index; ++i) {
        if (!findChild(tag, p, childStart, childEnd)) {
            return false;
        }
        p = childEnd;
    }
    ++depth;
    start[depth] = childStart;
    end[depth] = childEnd;
    return true;
}

bool SimpleXML::openNodeAfter(const wchar_t* tag, int from) {
    if (depth >= kMaxDepth || tag == nullptr) {
        return false;
    }
    int childStart = -1;
    int childEnd = -1;
    if (!findChild(tag, std::max(from, start[depth]), childStart, childEnd)) {
        return false;
    }
    ++depth;
    start[depth] = childStart;
    end[depth] = childEnd;
    return true;
}

bool SimpleXML::closeNode() {
    if (depth == 0) {
        return false;
    }
    --depth;
    return true;
}

int SimpleXML::countNodes(const wchar_t* tag) {
    if (depth > kMaxDepth - 1 || tag == nullptr) {
        return 0;
    }
    const int e = end[depth];
    int p = start[depth];
    int count = 0;
    // Searching beyond the element's end could only find pairs that do not count.
    for (;;) {
        const int childStart = findTag(tag, p, e + 1, false);
        if (childStart < 0 || childStart > e) {
            break;
        }
        const int childEnd = findTag(tag, childStart, e + 1, true);
        if (childEnd < 0 || childEnd > e) {
            break;
        }
        ++count;
        p = childEnd;
    }
    return count;
}

int SimpleXML::findTag(const wchar_t* tag, int from, int limit, bool closing) {
    if (text == nullptr || tag == nullptr || from < 0 || from > length) {
        return -1;
    }
    const std::wstring wanted = closing ? endTag(tag) : startTag(tag);
    // Only a tag that begins before limit counts, so the search stops there: lookups inside
    // an element cost its length, not the rest of the document's.
    const long long stop =
        std::min<long long>(length, static_cast<long long>(limit) - 1 + wanted.size());
    if (stop <= from) {
        return -1;
    }
    const std::wstring_view view(text.get(), static_cast<std::size_t>(stop));
    const std::size_t at = view.find(wanted, static_cast<std::size_t>(from));
    if (at == std::wstring_view::npos) {
        return -1;
    }
    return static_cast<int>(closing ? at : at + wanted.size());
}

namespace {

// The element's text as a terminated copy.
std::wstring elementText(const wchar_t* text, int from, int to) {
    return to > from ? std::wstring(text + from, text + to) : std::wstring();
}

}  // namespace

bool SimpleXML::getInt(const wchar_t* tag, int* value) {
    if (depth >= kMaxDepth || !openNode(tag)) {
        return false;
    }
    const std::wstring s = elementText(text.get(), start[depth], end[depth]);
    closeNode();
    int v = 0;
    if (value != nullptr && std::swscanf(s.c_str(), L"%i", &v) == 1) {
        *value = v;
    }
    return true;
}

bool SimpleXML::getLong(const wchar_t* tag, long* value) {
    if (depth >= kMaxDepth || !openNode(tag)) {
        return false;
    }
    const std::wstring s = elementText(text.get(), start[depth], end[depth]);
    closeNode();
    long v = 0;
    if (value != nullptr && std::swscanf(s.c_str(), L"%ld", &v) == 1) {
        *value = v;
    }
    return true;
}

bool SimpleXML::getFloat(const wchar_t* tag, float* value) {
    if (depth >= kMaxDepth || !openNode(tag)) {
        return false;
    }
    const std::wstring s = elementText(text.get(), start[depth], end[depth]);
    closeNode();
    float v = 0;
    if (value != nullptr && std::swscanf(s.c_str(), L"%f", &v) == 1) {
        *value = v;
    }
    return true;
}

bool SimpleXML::getString(const wchar_t* tag, wchar_t** value) {
    if (value == nullptr) {
        return false;
    }
    *value = nullptr;
    if (depth >= kMaxDepth || !openNode(tag)) {
        return false;
    }
    const std::wstring s = elementText(text.get(), start[depth], end[depth]);
    closeNode();
    *value = platform::newWideArray(s);
    return true;
}

}  // namespace zol
