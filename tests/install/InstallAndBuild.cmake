# Installs the build into a fresh prefix, then configures, builds and runs the application of
# tests/install against it, as a user of the installed SDK would.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${ARGN}: ${rc}\n${out}")
    endif()
endfunction()

set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
foreach(header kelvix/SimpleXML.h kelvix/debug/device/FileControlDevice.h
        kelvix/debug/imgproc/ImageProcessing.h)
    if(NOT EXISTS ${prefix}/include/${header})
        message(FATAL_ERROR "${header} is not installed")
    endif()
endforeach()
run(${CMAKE_COMMAND} -S ${APP} -B ${WORK}/app -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${prefix}
    -DKELVIX_TEST_DEVICE_DIR=${DEVICE_DIR})
run(${CMAKE_COMMAND} --build ${WORK}/app)
run(${WORK}/app/debug_application ${WORK})
