// Uses what the debug library gives to applications, through its exported symbols only.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "CompletedFileDevice.h"
#include "device/ImagerHID.h"
#include "imgproc/Cali.h"
#include "imgproc/CaliImageExtractor.h"
#include "imgproc/IRMeasurementField.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpFlag.h"
#include "imgproc/OpSource.h"
#include "imgproc/TemperatureTable.h"
#include "imgproc/TraceOp.h"
#include "kelvix/HIDComm.h"
#include "kelvix/Kelvix.h"
#include "kelvix/SimpleXML.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

// Taking the address needs the symbol from the library.
template <typename Member>
bool linked(Member member) {
    return member != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";

    CompletedFileDevice device(1, 2000, 12345678);
    BaseControlDevice& base = device;
    base.SetSkim_Ext(11);
    std::uint16_t skim = 0;
    base.GetSkim(&skim);
    check(base.GetSerialNumber() == 12345678 && skim == 11, "file control device");

    CaliImageExtractor extractor(7, L"");
    const std::vector<std::uint8_t> zeros(4096, 0);
    extractor.append(zeros.data(), zeros.size());
    check(extractor.extract() == -1, "extractor refuses a header of version 0");

    SharedParameterBlock shared;
    TemperatureTable table(&shared);
    std::vector<TemperatureTable::SamplePoint> points;
    check(!table.samplePoints(points), "sample points only on request");
    check(OpSource::formatIdentifier(384, 288, 66.0).Data1 == 0xAEF45D39u, "format identifier");
    char stem[64];
    check(Cali::makeFileNameA(12345678, 23, "", -20.0f, 100.0f, 0, stem, sizeof stem) &&
              Cali::getInstance() != nullptr,
          "calibration description");
    delete TraceOp::getInstance();

    zol::IRMeasurementField field;
    check(linked(&ImageProcessing::addMeasurementField) &&
              linked(&ImageProcessing::getEnergy2Temp) &&
              linked(&ImageProcessing::GetAntiFlicker) && linked(&OpEnergy2Temp::getTable) &&
              linked(&OpFlag::setSkimGain) && linked(&ImagerHID::close) && field.w == 0,
          "chain, operator and device accessors");

    // The release interface is there too: the record's assignment and the XML reader.
    DEVICE_DESCRIPTION from, to;
    from.serialNumber = 31000007;
    to = from;
    check(to.serialNumber == 31000007, "DEVICE_DESCRIPTION assignment");
    std::ofstream(dir + "/app.xml") << "<imager>\n<serial>42</serial>\n</imager>\n";
    zol::SimpleXML xml;
    int serial = 0;
    const std::wstring path(dir.begin(), dir.end());
    check(xml.open((path + L"/app.xml").c_str(), L"imager") && xml.getInt(L"serial", &serial) &&
              serial == 42,
          "SimpleXML");
    return failures == 0 ? 0 : 1;
}
