// The scratch directory of the process (removed at exit) and the input files written into it.
#include "support/FuzzFile.h"

#include <cstdlib>
#include <fstream>

#include "platform/Paths.h"
#include "platform/Strings.h"

namespace kelvix_fuzz {
namespace {

struct ScratchDir {
    ScratchDir() : path(platform::makeTempDirectory("kelvix-fuzz")) {
        if (path.empty()) {
            std::abort();
        }
    }
    ~ScratchDir() { platform::removeTree(path); }
    std::wstring path;
};

}  // namespace

const std::wstring& scratchDirectory() {
    static ScratchDir dir;
    return dir.path;
}

std::wstring writeInputFile(const std::uint8_t* data, std::size_t size, const char* name) {
    const std::wstring path = platform::joinPath(scratchDirectory(), platform::toWide(name));
    std::ofstream out(platform::toNarrow(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

}  // namespace kelvix_fuzz
