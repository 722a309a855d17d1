# Installs libvexo and the C++ layer (the components of libvexo0, libvexo-dev, libvexo-cpp0 and
# libvexo-cpp-dev) into a scratch prefix, then builds and runs a program of the layer against
# it through find_package(Vexo COMPONENTS cpp) and through pkg-config vexo-cpp. The layer's
# headers install with libvexo-cpp-dev only.
#   cmake -DBUILD=<build dir> -DSOURCE=<repo> -DWORK=<scratch dir> -P check_layer_install.cmake
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
include(${SOURCE}/cmake/check_install_steps.cmake)
set(expected "bytes 307200 rows 480\n")

install_components(${BUILD} ${prefix} runtime dev)
if(EXISTS ${prefix}/include/vexo/frame_layout.hpp)
    message(FATAL_ERROR "libvexo-dev's components install the C++ layer's headers")
endif()
install_components(${BUILD} ${prefix} cpp cppdev)

set(source ${SOURCE}/tests/cpp_layer/consumer)
run(${CMAKE_COMMAND} -S ${source} -B ${WORK}/consumer -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK}/consumer)
file(GLOB_RECURSE libs ${prefix}/libvexo-cpp.so.*)
list(GET libs 0 lib)
get_filename_component(libdir ${lib} DIRECTORY)
set(ENV{LD_LIBRARY_PATH} ${libdir})
run(${WORK}/consumer/layout)
if(NOT output STREQUAL expected)
    message(FATAL_ERROR "find_package consumer printed '${output}', not '${expected}'")
endif()

set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
pkg_config_flags(vexo-cpp flags)
run(c++ -std=c++20 ${source}/layout.cpp ${flags} -o ${WORK}/layout_pc)
run(${WORK}/layout_pc)
if(NOT output STREQUAL expected)
    message(FATAL_ERROR "pkg-config consumer printed '${output}', not '${expected}'")
endif()
message(STATUS "installed libvexo-cpp works through find_package and pkg-config")
