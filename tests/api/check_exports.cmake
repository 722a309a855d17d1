# Compares the dynamic symbol table of libvexo with the list of its interface.
#   cmake -DLIB=<libvexo.so> -DEXPECTED=<file> -P check_exports.cmake
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(actual "")
foreach(line ${lines})
    # "<address> <type> <name>[@@version]"; the linker adds no versions without a version node.
    if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] ([^@ ]+)")
        list(APPEND actual ${CMAKE_MATCH_1})
    endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/compare_exports.cmake)
compare_exports(libvexo "${actual}")
