# Sources are listed by hand in the CMakeLists.txt of their folder. Called at its end,
# kelvix_check_listed([files...]) stops the configuration when a .cpp or .c file below that
# folder belongs to none of its targets (nor to the files given, built elsewhere or only on some
# machines), so that a new file cannot drop out of the build, or a new test out of the test
# run, without a word.
function(kelvix_check_listed)
    set(listed ${ARGN})
    get_directory_property(targets BUILDSYSTEM_TARGETS)
    foreach(target ${targets})
        get_target_property(sources ${target} SOURCES)
        get_target_property(interface_sources ${target} INTERFACE_SOURCES)
        list(APPEND listed ${sources} ${interface_sources})
    endforeach()
    file(GLOB_RECURSE present CONFIGURE_DEPENDS
         ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
    foreach(file ${listed})
        if(file AND NOT file MATCHES "^\\$<")
            get_filename_component(file ${file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
            list(REMOVE_ITEM present ${file})
        endif()
    endforeach()
    if(present)
        list(JOIN present "\n  " unlisted)
        message(FATAL_ERROR "Add these files to a source list of ${CMAKE_CURRENT_LIST_FILE}:\n  ${unlisted}")
    endif()
endfunction()
