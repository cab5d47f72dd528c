// kelvixdaemon [configuration file]
//
// Serves one thermal camera to one TCP client on port 1337 until the console asks it to stop.

#include <clocale>
#include <iostream>
#include <memory>
#include <string>

#include "SimEnvironment.h"
#include "kelvix/IRDeviceParams.h"
#include "kelvix/Logger.h"
#include "platform/ConsoleControl.h"
#include "platform/Strings.h"
#include "sdk/daemon/server/IRDaemon.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // Console only, errors only, no log file.
    zol::Logger::getInstance()->configure("daemon.log", 6, 0, 0);
    // Before any thread starts, so that only the handler's thread takes the console signals.
    platform::installConsoleControlHandler(&IRDaemon::consoleHandler);

    // A simulated camera instead of the attached ones, when KELVIX_SIMULATOR names one.
    std::string simulatorError;
    std::unique_ptr<sim::SimEnvironment> simulator =
        sim::SimEnvironment::fromEnvironment(simulatorError);
    if (!simulatorError.empty()) {
        std::cerr << simulatorError << std::endl;
        return 1;
    }

    zol::IRDeviceParams params;
    if (argc > 1) {
        // A file that cannot be read leaves the reader's reset values; the reader says why.
        const std::wstring path = platform::toWide(argv[1]);
        zol::IRDeviceParamsReader::readXML(path.c_str(), params);
    } else {
        std::cout << "No parameters given, taking default parameters. If you want to specify "
                     "your own parameters, pass an xml file:"
                  << std::endl;
        std::cout << " " << argv[0] << " <path to xml file>" << std::endl;
    }
    printParameters(params, std::cout);

    {
        IRDaemon daemon;  // gone before main returns, with the device it still holds
        daemon.run(params);
    }
    params.releaseStrings();
    return 0;
}
