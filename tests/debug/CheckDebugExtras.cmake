# Checks that the debug library holds the debug-build extras and the release library does not.
execute_process(COMMAND nm -C ${DEBUG_LIB} OUTPUT_VARIABLE debug RESULT_VARIABLE rc1)
execute_process(COMMAND nm -C ${RELEASE_LIB} OUTPUT_VARIABLE release RESULT_VARIABLE rc2)
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
    message(FATAL_ERROR "nm failed")
endif()
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
