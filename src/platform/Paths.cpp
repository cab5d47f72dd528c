// POSIX calls behind the path helpers (stat, mkdir, open and read, getcwd, mkdtemp, nftw).
#include "platform/Paths.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Strings.h"

namespace platform {

namespace {

// A file without holes is one data extent; one with more than this many holes is counted as
// data from there on.
constexpr int kMaxExtents = 1 << 16;

}  // namespace

bool appDataFolder(std::wstring& out) {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && *xdg != '\0') {
        out = toWide(xdg);
        return true;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        out = toWide(home) + L"/.local/share";
        return true;
    }
    return false;
}

std::wstring joinPath(const std::wstring& a, const std::wstring& b) {
    return a + kPathSeparator + b;
}

bool createDirectory(const std::wstring& path) {
    std::string p = toNarrow(path);
    if (p.empty()) {
        return false;
    }
    for (std::size_t pos = 1; pos <= p.size(); ++pos) {
        if (pos == p.size() || p[pos] == '/') {
            std::string prefix = p.substr(0, pos);
            if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    return directoryExists(path);
}

bool fileExists(const std::wstring& path) {
    struct stat st {};
    return ::stat(toNarrow(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool pathExists(const std::wstring& path) {
    struct stat st {};
    return ::stat(toNarrow(path).c_str(), &st) == 0;
}

bool directoryExists(const std::wstring& path) {
    struct stat st {};
    return ::stat(toNarrow(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::wstring currentDirectory() {
    char buf[4096];
    if (::getcwd(buf, sizeof buf) == nullptr) {
        return std::wstring();
    }
    return toWide(buf);
}

FileReadResult readRegularFile(const std::wstring& path, std::string& bytes, std::size_t maxBytes) {
    bytes.clear();
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = ::open(toNarrow(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return FileReadResult::CannotOpen;
    }
    FileReadResult result = FileReadResult::Read;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        result = FileReadResult::NotRegular;
    } else if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        result = FileReadResult::TooLarge;
    } else {
        bytes.resize(static_cast<std::size_t>(st.st_size));
        std::size_t got = 0;
        // Only the size seen at opening is read: a file that grows meanwhile stays bounded.
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, &bytes[got], bytes.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
    }
    ::close(fd);
    return result;
}

std::uint64_t fileDataBytes(const std::wstring& path) {
    const int fd = ::open(toNarrow(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    struct stat st {};
    std::uint64_t total = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        // Each pass steps over one hole and one data extent; a file system without hole
        // reports has one extent, the whole file.
        off_t at = 0;
        for (int extents = 0; at < st.st_size; ++extents) {
            const off_t data = ::lseek(fd, at, SEEK_DATA);
            if (data < 0) {
                break;  // ENXIO: only a hole up to the end
            }
            off_t hole = ::lseek(fd, data, SEEK_HOLE);
            if (hole < 0 || extents == kMaxExtents) {
                hole = st.st_size;  // count the rest as data rather than walk on
            }
            total += static_cast<std::uint64_t>(hole - data);
            at = hole;
        }
    }
    ::close(fd);
    return total;
}

const char* refusalReason(FileReadResult result) {
    switch (result) {
        case FileReadResult::NotRegular:
            return "not a regular file";
        case FileReadResult::TooLarge:
            return "larger than 16 MiB";
        default:
            return nullptr;
    }
}

bool setEnvironment(const char* name, const char* value) {
    return value != nullptr ? ::setenv(name, value, 1) == 0 : ::unsetenv(name) == 0;
}

bool changeDirectory(const std::wstring& path) {
    return ::chdir(toNarrow(path).c_str()) == 0;
}

std::wstring makeTempDirectory(const char* prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" +
                          (prefix != nullptr ? prefix : "kelvix") + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
        return std::wstring();
    }
    return toWide(buf.data());
}

namespace {
int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}
}  // namespace

bool removeTree(const std::wstring& path) {
    const std::string p = toNarrow(path);
    ::nftw(p.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    struct stat st {};
    return ::lstat(p.c_str(), &st) != 0;
}

}  // namespace platform
