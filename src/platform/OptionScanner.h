// getopt behind a small class, for the command line of kelvixcalfetch.
#pragma once

namespace platform {

// Option scanning of a program's arguments with the C library's getopt. Scanning stops at the
// first argument that is not an option; arguments are never reordered. Unknown options and
// missing arguments are reported on standard error by getopt itself and answered with '?'.
// getopt keeps its state in globals: one scanner at a time.
class OptionScanner {
  public:
    OptionScanner(int argc, char** argv, const char* optionString);
    OptionScanner(const OptionScanner&) = delete;
    OptionScanner& operator=(const OptionScanner&) = delete;

    // The next option character, '?' for an unknown one, -1 when the options end.
    int next();
    // The argument of the option last returned; null when it takes none.
    const char* argument() const { return argument_; }

  private:
    int argc_;
    char** argv_;
    char optionString_[64];
    const char* argument_ = nullptr;
};

}  // namespace platform
