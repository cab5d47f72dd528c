// The per-test temporary directory: HOME, XDG_DATA_HOME and the current directory pointed there,
// and put back afterwards.
#include "common/TestEnv.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/Paths.h"
#include "platform/Strings.h"

namespace kelvix_test {

void TempDirTest::SetUp() {
    std::wstring dir = platform::makeTempDirectory("kelvix-test");
    ASSERT_FALSE(dir.empty());
    dir_ = platform::toNarrow(dir);
    oldCwd_ = platform::currentDirectory();
    if (const char* h = std::getenv("HOME")) {
        hadHome_ = true;
        oldHome_ = h;
    }
    if (const char* x = std::getenv("XDG_DATA_HOME")) {
        hadXdg_ = true;
        oldXdg_ = x;
    }
    platform::setEnvironment("HOME", dir_.c_str());
    platform::setEnvironment("XDG_DATA_HOME", (dir_ + "/share").c_str());
    platform::changeDirectory(dir);
}

void TempDirTest::TearDown() {
    platform::changeDirectory(oldCwd_);
    platform::setEnvironment("HOME", hadHome_ ? oldHome_.c_str() : nullptr);
    platform::setEnvironment("XDG_DATA_HOME", hadXdg_ ? oldXdg_.c_str() : nullptr);
    if (!dir_.empty()) {
        platform::removeTree(platform::toWide(dir_));
    }
}

std::wstring TempDirTest::wpath(const std::string& name) const {
    return platform::toWide(path(name));
}

void TempDirTest::writeFile(const std::string& name, const std::string& content) const {
    std::ofstream f(path(name), std::ios::binary);
    f << content;
}

std::string TempDirTest::readFile(const std::string& name) const {
    std::ifstream f(path(name), std::ios::binary);
    std::ostringstream os;
    os << f.rdbuf();
    return os.str();
}

}  // namespace kelvix_test
