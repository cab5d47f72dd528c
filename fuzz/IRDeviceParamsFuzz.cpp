// Fuzz target: the configuration file reader on arbitrary files.
#include <cstddef>
#include <cstdint>

#include "kelvix/IRDeviceParams.h"
#include "support/FuzzFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring path = kelvix_fuzz::writeInputFile(data, size, "config.xml");
    zol::IRDeviceParams params;
    zol::IRDeviceParamsReader::readXML(path.c_str(), params);
    params.releaseStrings();
    return 0;
}
