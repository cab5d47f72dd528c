# Checks that the udev rule gives both nodes of the camera, its hidraw node and its video node,
# the same group and mode: a service or an ssh session in plugdev must reach both, not only the
# logged-in user through uaccess.
file(STRINGS ${RULE} rules REGEX "^SUBSYSTEM==")
foreach(subsystem hidraw video4linux)
    set(found FALSE)
    foreach(rule IN LISTS rules)
        if(rule MATCHES "^SUBSYSTEM==\"${subsystem}\".*MODE=\"0660\", GROUP=\"plugdev\", TAG\\+=\"uaccess\"")
            set(found TRUE)
        endif()
    endforeach()
    if(NOT found)
        message(FATAL_ERROR "${RULE} gives the ${subsystem} node not to plugdev with mode 0660")
    endif()
endforeach()
