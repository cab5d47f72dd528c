# Checks that the shared library defines hidapi's whole API itself and does not depend on the
# system HID library at link time (it loads it at run time).
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIB}")
endif()
foreach(name hid_init hid_exit hid_enumerate hid_free_enumeration hid_open hid_open_path
        hid_write hid_read_timeout hid_read hid_set_nonblocking hid_send_feature_report
        hid_get_feature_report hid_get_input_report hid_close hid_get_manufacturer_string
        hid_get_product_string hid_get_serial_number_string hid_get_device_info
        hid_get_indexed_string hid_error hid_version hid_version_str)
    if(NOT symbols MATCHES " T ${name}\n")
        message(FATAL_ERROR "${LIB} does not define ${name}")
    endif()
endforeach()
execute_process(COMMAND readelf -d ${LIB} OUTPUT_VARIABLE dynamic)
if(dynamic MATCHES "hidapi")
    message(FATAL_ERROR "${LIB} depends on hidapi at link time")
endif()
# The library's own HID calls are bound inside it: no relocation names a hidapi function.
execute_process(COMMAND readelf -rW ${LIB} OUTPUT_VARIABLE relocations)
if(relocations MATCHES " hid_[a-z_]+ ")
    message(FATAL_ERROR "${LIB} calls hidapi through the dynamic linker")
endif()
