# Runs PROGRAM (linked with the system hidapi ahead of libkelvix) with every symbol bound at
# start-up and fails when libkelvix binds any hid_* name to the system library.
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_DEBUG=bindings LD_BIND_NOW=1 ${PROGRAM}
                RESULT_VARIABLE rc ERROR_VARIABLE bindings OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} failed (${rc})")
endif()
if(NOT bindings MATCHES "binding file [^\n]*libhidapi-hidraw")
    message(FATAL_ERROR "no bindings of the system hidapi seen: LD_DEBUG not honoured?")
endif()
string(REGEX MATCH "binding file [^ ]*libkelvix[^ ]* [^\n]* to [^ ]*libhidapi-hidraw[^\n]*" own
       "${bindings}")
if(own)
    message(FATAL_ERROR "libkelvix's own HID call goes to the system library: ${own}")
endif()
