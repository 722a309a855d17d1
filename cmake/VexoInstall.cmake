# Installs libvexo with its headers, a CMake package (find_package(Vexo) gives Vexo::vexo)
# and a pkg-config file (pkg-config --cflags --libs vexo).
# Install components: "runtime" (the shared library and the udev rule), "dev" (headers, the
# libvexo.so link, CMake and pkg-config files); the tool, the Python module and the GStreamer
# plugin install as "tools", "python" and "gstreamer" (cmake --install --component NAME).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vexo EXPORT VexoTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vexo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
install(EXPORT VexoTargets NAMESPACE Vexo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo
        COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VexoConfig.cmake.in
    ${CMAKE_BINARY_DIR}/VexoConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VexoConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VexoConfig.cmake ${CMAKE_BINARY_DIR}/VexoConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vexo COMPONENT dev)

# The prefix is found relative to the .pc file, so the tree works wherever it is installed.
file(RELATIVE_PATH VEXO_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VEXO_PC_TO_PREFIX "${VEXO_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vexo.pc.in ${CMAKE_BINARY_DIR}/vexo.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vexo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)
