# Compares the dynamic symbol table of libvexo with the list of its interface.
#   cmake -DLIB=<libvexo.so> -DEXPECTED=<file> -P check_exports.cmake
# The linker adds no versions without a version node.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/dynamic_symbols.cmake)
dynamic_symbols(${LIB} actual)
include(${CMAKE_CURRENT_LIST_DIR}/compare_exports.cmake)
compare_exports(libvexo "${actual}")
