// kelvixcalfetch [-d serial] [-t directory] [-v]
//
// Downloads a camera's missing calibration files; exits with 0 when all are installed, else 255.
#include <clocale>

#include "CalFetch.h"

int main(int argc, char** argv) {
    // Command-line text converts to wide characters through the user's locale.
    std::setlocale(LC_ALL, "");
    kelvixcalfetch::CalFetch tool;
    return tool.run(argc, argv);
}
