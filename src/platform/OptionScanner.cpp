// The C library's getopt behind OptionScanner.
#include "platform/OptionScanner.h"

#include <unistd.h>

#include <cstring>

namespace platform {

OptionScanner::OptionScanner(int argc, char** argv, const char* optionString)
    : argc_(argc), argv_(argv) {
    // A leading '+' keeps glibc from permuting the arguments: the scan ends at the first
    // non-option, as POSIX has it.
    optionString_[0] = '+';
    std::strncpy(optionString_ + 1, optionString, sizeof(optionString_) - 2);
    optionString_[sizeof(optionString_) - 1] = '\0';
    // Zero makes glibc start a fresh scan, also after an earlier one in this process.
    optind = 0;
}

int OptionScanner::next() {
    int option = getopt(argc_, argv_, optionString_);
    argument_ = option == -1 ? nullptr : optarg;
    return option;
}

}  // namespace platform
