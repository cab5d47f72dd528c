#pragma once

#include <memory>

#include "kelvix/export.h"

namespace zol {

// One comment delimiter found while cutting comments out of the kept text.
struct CommentToken {
    int type;    // 0 = "<!--" (offset of its first character), 1 = "-->" (offset after it)
    int offset;  // characters into the text
};

// The system's minimal XML reader: keeps the text inside the root element, comments cut out,
// and finds elements by plain text search. Tags carry no attributes and no blanks.
class KELVIX_API SimpleXML {
  public:
    static constexpr int kMaxDepth = 254;

    SimpleXML();
    ~SimpleXML();
    SimpleXML(const SimpleXML&) = delete;
    SimpleXML& operator=(const SimpleXML&) = delete;

    bool open(const wchar_t* path, const wchar_t* rootName);
    // directory + separator + name + ".xml", root "CaliData".
    bool openCaliFile(const wchar_t* directory, const wchar_t* name);

    void resetToRoot();
    bool openNode(const wchar_t* tag);
    bool openNodeAt(const wchar_t* tag, int index);
    // Opens the first element `tag` of the current one whose start tag lies at or after offset
    // `from`; with the getNodeEnd of the previous one, walks a sequence in one pass.
    bool openNodeAfter(const wchar_t* tag, int from);
    bool closeNode();
    int countNodes(const wchar_t* tag);
    int findTag(const wchar_t* tag, int from, int limit, bool closing);

    bool getInt(const wchar_t* tag, int* value);
    bool getLong(const wchar_t* tag, long* value);
    bool getFloat(const wchar_t* tag, float* value);
    // Hands over a new terminated copy (free with delete[]); null when the element is missing.
    bool getString(const wchar_t* tag, wchar_t** value);

    int getLength() const { return length; }
    const wchar_t* getText() const { return text.get(); }
    unsigned short getDepth() const { return depth; }
    // Where the current element's end tag begins.
    int getNodeEnd() const { return end[depth]; }

  private:
    bool findChild(const wchar_t* tag, int from, int& childStart, int& childEnd);

    int length;
    int start[256];
    int end[256];
    unsigned short depth;
    std::unique_ptr<wchar_t[]> text;  // null before open
};

}  // namespace zol
