# Installs libvexo with its headers, a CMake package (find_package(Vexo) gives Vexo::vexo)
# and a pkg-config file (pkg-config --cflags --libs vexo). The C++ layer above it, libvexo-cpp,
# installs as "cpp" (the library) and "cppdev" (its headers, Vexo::vexo_cpp through
# find_package(Vexo COMPONENTS cpp), pkg-config vexo-cpp): src/cpp/CMakeLists.txt.
# Install components: "runtime" (the shared library and the udev rule), "dev" (headers, the
# libvexo.so link, CMake and pkg-config files); the tool, the Python module and the GStreamer
# plugin install as "tools", "python" and "gstreamer" (cmake --install --component NAME).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Headers of include/vexo/ that belong to libvexo (header-only, over the C functions); every
# other .hpp there is the C++ layer's and installs with libvexo-cpp.
set(VEXO_API_CPP_HEADERS vexo.hpp config.hpp board_watcher.hpp CACHE INTERNAL
    "include/vexo headers of libvexo's header-only C++ API")

install(TARGETS vexo EXPORT VexoTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# The C headers and the header-only C++ API; the other .hpp headers are the C++ layer's.
set(api_patterns PATTERN "*.h")
foreach(header IN LISTS VEXO_API_CPP_HEADERS)
    list(APPEND api_patterns PATTERN ${header})
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vexo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev FILES_MATCHING ${api_patterns})
install(EXPORT VexoTargets NAMESPACE Vexo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo
        COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VexoConfig.cmake.in
    ${CMAKE_BINARY_DIR}/VexoConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VexoConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VexoConfig.cmake ${CMAKE_BINARY_DIR}/VexoConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo COMPONENT dev)

# The .pc names the prefix the tree is installed under, fixed when it is installed (so that
# `cmake --install --prefix DIR` gets DIR): pkg-config then prints plain paths, -I/usr/include
# rather than a path climbing out of the pkgconfig directory.
set(VEXO_PC_PREFIX "@VEXO_PC_PREFIX@")  # left for the install step to fill in
configure_file(${PROJECT_SOURCE_DIR}/cmake/vexo.pc.in ${CMAKE_BINARY_DIR}/vexo.pc.template @ONLY)
install(CODE "set(VEXO_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(${CMAKE_BINARY_DIR}/vexo.pc.template ${CMAKE_BINARY_DIR}/vexo.pc @ONLY)"
        COMPONENT dev)
install(FILES ${CMAKE_BINARY_DIR}/vexo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)
