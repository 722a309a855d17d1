# Installs the build tree into a scratch prefix, then builds and runs a C program against it
# twice: through find_package(Vexo) and through pkg-config.
#   cmake -DBUILD=<build dir> -DSOURCE=<repo> -DWORK=<scratch dir> -P check_install.cmake
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
include(${SOURCE}/cmake/check_install_steps.cmake)
# The library and what building against it needs: the components of libvexo0 and libvexo-dev.
install_components(${BUILD} ${prefix} runtime dev)
set(capture ${SOURCE}/tests/api/c_capture.c)
run(${CMAKE_COMMAND} -S ${SOURCE}/tests/api/consumer -B ${WORK}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCAPTURE_SOURCE=${capture})
run(${CMAKE_COMMAND} --build ${WORK}/consumer)
file(GLOB libdirs ${prefix}/lib*)
set(ENV{VEXO_VIRTUAL_BOARDS} 1)
set(ENV{LD_LIBRARY_PATH} "${prefix}/lib:${prefix}/lib64")
run(${WORK}/consumer/consumer)
# pkg-config
find_file(pc vexo.pc PATHS ${prefix}/lib/pkgconfig ${prefix}/lib64/pkgconfig
          ${prefix}/lib/x86_64-linux-gnu/pkgconfig NO_DEFAULT_PATH)
if(NOT pc)
    message(FATAL_ERROR "no vexo.pc installed")
endif()
get_filename_component(pcdir ${pc} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
pkg_config_flags(vexo flags)
# Plain paths under the prefix, not ones that climb out of the pkgconfig directory.
if(NOT "${flags}" MATCHES "-I${prefix}/include(;|$)" OR "${flags}" MATCHES "/\\.\\./")
    message(FATAL_ERROR "pkg-config's paths are not plain ones under ${prefix}: ${flags}")
endif()
run(cc ${capture} ${flags} -o ${WORK}/consumer_pc)
get_filename_component(libdir ${pcdir} DIRECTORY)
set(ENV{LD_LIBRARY_PATH} ${libdir})
run(${WORK}/consumer_pc)
message(STATUS "installed libvexo works through find_package and pkg-config")
