// Uses what the debug library gives to applications, through its exported symbols only.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "CompletedFileDevice.h"
#include "device/ImagerHID.h"
#include "imgproc/Cali.h"
#include "imgproc/CaliImageExtractor.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpFlag.h"
#include "imgproc/TemperatureTable.h"
#include "imgproc/TraceOp.h"
#include "kelvix/SimpleXML.h"

// Holding their addresses (unoptimised) needs the symbols from the library.
template <typename... Members>
bool held(Members... members) {
    return ((members != nullptr) && ...);
}

int main(int argc, char** argv) {
    CompletedFileDevice device(1, 2000, 12345678);
    device.SetSkim_Ext(11);
    std::uint16_t skim = 0;
    device.GetSkim(&skim);

    CaliImageExtractor extractor(7, L"");
    const std::vector<std::uint8_t> zeros(4096, 0);
    extractor.append(zeros.data(), zeros.size());

    const bool linked =
        held(&ImageProcessing::addMeasurementField, &ImageProcessing::getEnergy2Temp,
             &ImageProcessing::GetAntiFlicker, &OpEnergy2Temp::getTable, &OpFlag::setSkimGain,
             &TemperatureTable::samplePoints, &Cali::getTempSpan, &ImagerHID::close,
             &TraceOp::getInstance);

    const std::string file = std::string(argc > 1 ? argv[1] : ".") + "/app.xml";
    std::ofstream(file) << "<imager>\n<serial>42</serial>\n</imager>\n";
    zol::SimpleXML xml;
    int serial = 0;
    const bool read = xml.open(std::wstring(file.begin(), file.end()).c_str(), L"imager") &&
                      xml.getInt(L"serial", &serial);

    if (device.GetSerialNumber() != 12345678 || skim != 11 || extractor.extract() != -1 ||
        !linked || !read || serial != 42) {
        std::fprintf(stderr, "the installed libraries do not serve their application\n");
        return 1;
    }
    return 0;
}
