# Writes the Debian symbols file of libvexo-cpp0 from the library's dynamic symbol table: each
# exported (mangled) name, present since VERSION.
#   cmake -DLIB=<libvexo-cpp.so> -DSONAME=<libvexo-cpp.so.N> -DVERSION=<x.y.z> -DOUTPUT=<file>
#         -P debian_symbols.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/dynamic_symbols.cmake)
dynamic_symbols(${LIB} names)
list(SORT names)
list(REMOVE_DUPLICATES names)
set(text "${SONAME} libvexo-cpp0 #MINVER#\n* Build-Depends-Package: libvexo-cpp-dev\n")
foreach(name IN LISTS names)
    string(APPEND text " ${name}@Base ${VERSION}\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
