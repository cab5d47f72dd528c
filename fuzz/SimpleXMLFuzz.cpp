// Fuzz target: the XML reader on arbitrary files, then lookups of every kind.
#include <cstddef>
#include <cstdint>

#include "kelvix/SimpleXML.h"
#include "support/FuzzFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring path = kelvix_fuzz::writeInputFile(data, size, "input.xml");
    zol::SimpleXML xml;
    const wchar_t* root = (size > 0 && (data[0] & 1) != 0) ? L"CaliData" : L"imager";
    if (!xml.open(path.c_str(), root)) {
        return 0;
    }
    static const wchar_t* const tags[] = {L"a", L"b", L"serial", L"temperature", L"min", L"x"};
    for (const wchar_t* tag : tags) {
        xml.resetToRoot();
        const int n = xml.countNodes(tag);
        for (int i = 0; i <= n && i < 8; ++i) {
            if (xml.openNodeAt(tag, i)) {
                int iv = 0;
                long lv = 0;
                float fv = 0;
                wchar_t* s = nullptr;
                for (const wchar_t* inner : tags) {
                    xml.getInt(inner, &iv);
                    xml.getLong(inner, &lv);
                    xml.getFloat(inner, &fv);
                    xml.getString(inner, &s);
                    delete[] s;
                    s = nullptr;
                }
                xml.closeNode();
            }
        }
        // Descend as far as the element nests.
        while (xml.openNode(tag)) {
        }
        xml.findTag(tag, 0, xml.getLength(), true);
    }
    return 0;
}
