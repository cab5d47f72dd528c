// kelvixcalfetch's tool, apart from main so that tests can run it in-process.
#pragma once

#include <memory>

namespace zol {
class IRDeviceDS;
}

namespace kelvixcalfetch {

// The download tool: determines a camera's serial (option -d or the attached camera) and lets
// the calibration manager fetch the missing calibration files into the target directory
// (option -t, else the manager's calibration directory). -v shows DEBUG lines on the console.
class CalFetch {
  public:
    CalFetch();
    ~CalFetch();
    CalFetch(const CalFetch&) = delete;
    CalFetch& operator=(const CalFetch&) = delete;

    // The program's exit status: 0 when the calibration files are installed, -1 otherwise.
    int run(int argc, char** argv);

  private:
    // A camera asked for its serial stays open as long as the tool.
    std::unique_ptr<zol::IRDeviceDS> camera_;
};

}  // namespace kelvixcalfetch
