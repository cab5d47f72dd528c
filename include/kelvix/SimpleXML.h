// The minimal XML reader behind the configuration file, the calibration description and the
// calibration download list.
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
// and finds elements by plain text search. Tags carry no attributes and no blanks. Not guarded:
// one reader per thread.
class KELVIX_API SimpleXML {
  public:
    static constexpr int kMaxDepth = 254;

    SimpleXML();
    ~SimpleXML();
    SimpleXML(const SimpleXML&) = delete;
    SimpleXML& operator=(const SimpleXML&) = delete;

    // Reads the file and keeps the root element's inner text; false (logged) when the file cannot
    // be read or its comments do not pair up.
    bool open(const wchar_t* path, const wchar_t* rootName);
    // directory + separator + name + ".xml", root "CaliData"; an empty directory stands for the
    // application-data folder + "/Imager".
    bool openCaliFile(const wchar_t* directory, const wchar_t* name);

    // The root becomes the current element again.
    void resetToRoot();
    // Makes the first (or the index-th, from 0) child element `tag` of the current one current.
    bool openNode(const wchar_t* tag);
    bool openNodeAt(const wchar_t* tag, int index);
    // Opens the first element `tag` of the current one whose start tag lies at or after offset
    // `from`; with the getNodeEnd of the previous one, walks a sequence in one pass.
    bool openNodeAfter(const wchar_t* tag, int from);
    // Back to the parent; false at the root.
    bool closeNode();
    // Child elements `tag` of the current one, in sequence.
    int countNodes(const wchar_t* tag);
    // Offset just after the start tag (or of the end tag, when closing) of the first `tag` at or
    // after `from` that begins before `limit`; -1 when there is none.
    int findTag(const wchar_t* tag, int from, int limit, bool closing);

    // The number in child element `tag`: false when the element is missing; a text that is no
    // number leaves *value as it was.
    bool getInt(const wchar_t* tag, int* value);
    bool getLong(const wchar_t* tag, long* value);
    bool getFloat(const wchar_t* tag, float* value);
    // Hands over a new terminated copy (free with delete[]); null when the element is missing.
    bool getString(const wchar_t* tag, wchar_t** value);

    // The kept text (comments cut out), its length and the current element's nesting depth.
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
