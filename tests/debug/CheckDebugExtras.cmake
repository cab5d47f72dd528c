# Checks that the debug library holds the debug-build extras, exports those it gives to
# applications, and that the release library holds none of them.
execute_process(COMMAND nm -C ${DEBUG_LIB} OUTPUT_VARIABLE debug RESULT_VARIABLE rc1)
execute_process(COMMAND nm -C ${RELEASE_LIB} OUTPUT_VARIABLE release RESULT_VARIABLE rc2)
execute_process(COMMAND nm -DC --defined-only ${DEBUG_LIB} OUTPUT_VARIABLE exported
                RESULT_VARIABLE rc3)
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0 OR NOT rc3 EQUAL 0)
    message(FATAL_ERROR "nm failed")
endif()
foreach(symbol "FileControlDevice::FileControlDevice(unsigned short, unsigned short, unsigned int)"
        "vtable for FileControlDevice" "typeinfo for BaseControlDevice"
        "CaliImageExtractor::extract()" "ImageProcessing::addMeasurementField(zol::IRMeasurementField*)"
        "ImageProcessing::GetAntiFlicker(bool*)" "OpFlag::setSkimGain(float)"
        "TemperatureTable::samplePoints(" "Cali::getTempSpan(CaliOpticsKey const&) const"
        "ImagerHID::close()" "TraceOp::~TraceOp()")
    string(FIND "${exported}" "${symbol}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${DEBUG_LIB} does not export ${symbol}")
    endif()
endforeach()
foreach(symbol "FileControlDevice::FileControlDevice(unsigned short, unsigned short, unsigned int)"
        "FileControlDevice::GetTempBox(float*)" "vtable for FileControlDevice"
        "CaliImageExtractor::extract()" "CaliImageExtractor::append(unsigned char const*, unsigned long)"
        "ImageProcessing::readCalibrationMemory()"
        "ImageProcessing::addMeasurementField(zol::IRMeasurementField*)"
        "OpMeasurementField::trigger()" "vtable for OpMeasurementField"
        "ImageProcessing::GetAntiFlicker(bool*)" "ImagerHID::close()"
        "Cali::getTempSpan(CaliOpticsKey const&) const" "Cali::makeFileNameA("
        "TemperatureTable::loadFileA(char const*, bool)" "TemperatureTable::searchSamplePoints("
        "OpSource::formatIdentifier(int, int, double)" "OpFlag::setDriftTracking(bool)")
    string(FIND "${debug}" "${symbol}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${DEBUG_LIB} lacks ${symbol}")
    endif()
endforeach()
foreach(symbol "FileControlDevice" "CaliImageExtractor" "OpMeasurementField" "addMeasurementField"
        "readCalibrationMemory" "ImageProcessing::GetAntiFlicker" "ImagerHID::close"
        "Cali::getTempSpan" "Cali::makeFileNameA" "TemperatureTable::loadFileA"
        "TemperatureTable::searchSamplePoints" "OpSource::formatIdentifier"
        "OpFlag::setDriftTracking")
    string(FIND "${release}" "${symbol}" at)
    if(NOT at EQUAL -1)
        message(FATAL_ERROR "${RELEASE_LIB} holds ${symbol}")
    endif()
endforeach()
