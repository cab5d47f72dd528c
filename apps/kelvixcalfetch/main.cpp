// kelvixcalfetch [-d serial] [-t directory] [-v]
//
// Downloads a camera's missing calibration files; exits with 0 when all are installed, else 255.
#include <clocale>

#include "CalFetch.h"
#include "platform/Http.h"

int main(int argc, char** argv) {
    // Command-line text converts to wide characters through the user's locale.
    std::setlocale(LC_ALL, "");
    // Interrupted, the tool leaves no partial file in the calibration folder.
    platform::removePartialFilesOnSignals();
    kelvixcalfetch::CalFetch tool;
    return tool.run(argc, argv);
}
