# Writes the Debian symbols file of libvexo-cpp0 from the library's dynamic symbol table: each
# exported (mangled) name, present since VERSION.
#   cmake -DLIB=<libvexo-cpp.so> -DSONAME=<libvexo-cpp.so.N> -DVERSION=<x.y.z> -DOUTPUT=<file>
#         -P debian_symbols.cmake
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(names "")
foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] ([^@ ]+)")
        list(APPEND names ${CMAKE_MATCH_1})
    endif()
endforeach()
list(SORT names)
list(REMOVE_DUPLICATES names)
set(text "${SONAME} libvexo-cpp0 #MINVER#\n* Build-Depends-Package: libvexo-cpp-dev\n")
foreach(name IN LISTS names)
    string(APPEND text " ${name}@Base ${VERSION}\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
