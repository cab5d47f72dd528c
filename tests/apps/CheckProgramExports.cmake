# Checks that a program linking the static library exports the class interface of the parts it
# links, and keeps the internal classes hidden.
execute_process(COMMAND nm -DC --defined-only ${PROGRAM} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${PROGRAM}")
endif()
# EXTRA: further names the program must export, separated by '|'.
string(REPLACE "|" ";" EXTRA "${EXTRA}")
foreach(name "zol::IRCalibrationManager::getInstance()"
        "zol::IRCalibrationManager::downloadCalibration(unsigned long)"
        "zol::IRDeviceDS::createInstance(zol::IRDeviceParams&)" "zol::Logger::getInstance()"
        "zol::Timer::Timer()" "zol::FramerateCounter::getFps()"
        "vtable for zol::IRDeviceDS" ${EXTRA})
    string(FIND "${symbols}" " ${name}\n" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${PROGRAM} does not export ${name}")
    endif()
endforeach()
foreach(internal "Cali::" "CaptureService")
    string(FIND "${symbols}" "${internal}" at)
    if(NOT at EQUAL -1)
        message(FATAL_ERROR "${PROGRAM} exports the internal ${internal}")
    endif()
endforeach()
