# Debian packages made by CPack's DEB generator from the install components (docs/install.md):
#   runtime   -> libvexo0           the shared library and the udev rule
#   dev       -> libvexo-dev        headers, libvexo.so, CMake package, pkg-config file
#   cpp       -> libvexo-cpp0       the C++ layer above the C functions (libvexo-cpp.so.0)
#   cppdev    -> libvexo-cpp-dev    its headers, libvexo-cpp.so, Vexo::vexo_cpp, vexo-cpp.pc
#   tools     -> vexo-tools         the vexo tool and its manual page
#   python    -> python3-vexo       VexoSDK and the vexo package for Debian's python3
#   gstreamer -> gstreamer1.0-vexo  the vexosrc plugin, when it is built
# Components that this build does not install (no Python, no GStreamer) make no package.
# scripts/package.sh configures a tree for /usr with this on and runs cpack.
include(GNUInstallDirs)

set(VEXO_DEB_MAINTAINER "Vexo maintainers <maintainers@users.noreply.c-seed-22ecd098.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(VEXO_DEB_REVISION 1 CACHE STRING "Debian revision of the packages (version ${PROJECT_VERSION}-N)")
set(debian_dir ${PROJECT_SOURCE_DIR}/packaging/debian)

# The changelog's newest entry must name the version being packaged.
file(STRINGS ${debian_dir}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^vexo \\(${PROJECT_VERSION}-${VEXO_DEB_REVISION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog: the newest entry is '${changelog_head}', "
                        "not version ${PROJECT_VERSION}-${VEXO_DEB_REVISION}")
endif()
set(changelog_gz ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9nc ${debian_dir}/changelog OUTPUT_FILE ${changelog_gz}
                RESULT_VARIABLE gzip_rc)
if(NOT gzip_rc EQUAL 0)
    message(FATAL_ERROR "gzip failed on packaging/debian/changelog")
endif()

get_cmake_property(installed_components COMPONENTS)
# An install rule without COMPONENT lands in "Unspecified", which no package carries.
if("Unspecified" IN_LIST installed_components)
    message(FATAL_ERROR "an install() rule has no COMPONENT (runtime, dev, cpp, cppdev, tools, "
                        "python or gstreamer): its files would be in no Debian package")
endif()
set(package_runtime libvexo0)
set(package_dev libvexo-dev)
set(package_cpp libvexo-cpp0)
set(package_cppdev libvexo-cpp-dev)
set(package_tools vexo-tools)
set(package_python python3-vexo)
set(package_gstreamer gstreamer1.0-vexo)
# Runs in every component before the rules below that call it.
install(CODE [[
function(vexo_drop_note_sections root objcopy)
    file(GLOB_RECURSE files LIST_DIRECTORIES false "${root}/*")
    foreach(file IN LISTS files)
        if(IS_SYMLINK "${file}")
            continue()
        endif()
        file(READ "${file}" magic LIMIT 4 HEX)
        if(magic STREQUAL "7f454c46")
            execute_process(COMMAND "${objcopy}" --remove-section=.comment --remove-section=.note
                                    "${file}" RESULT_VARIABLE rc)
            if(NOT rc EQUAL 0)
                message(FATAL_ERROR "objcopy failed on ${file}")
            endif()
        endif()
    endforeach()
endfunction()
]] ALL_COMPONENTS)

set(CPACK_COMPONENTS_ALL "")
foreach(component runtime dev cpp cppdev tools python gstreamer)
    if(NOT component IN_LIST installed_components)
        message(STATUS "Debian packages: no ${package_${component}} (nothing installs as ${component})")
        continue()
    endif()
    list(APPEND CPACK_COMPONENTS_ALL ${component})
    string(TOUPPER ${component} C)
    set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${package_${component}})
    # Every Debian package carries its own copyright file and changelog, and its lintian
    # overrides (docs/install.md says why each is there).
    install(FILES ${debian_dir}/copyright ${changelog_gz}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package_${component}} COMPONENT ${component})
    set(overrides ${CMAKE_BINARY_DIR}/debian/${package_${component}}.overrides)
    file(STRINGS ${debian_dir}/lintian-overrides override_tags REGEX "^[a-z]")
    # A package's own overrides, where it has some (packaging/debian/<package>/).
    if(EXISTS ${debian_dir}/${package_${component}}/lintian-overrides)
        file(STRINGS ${debian_dir}/${package_${component}}/lintian-overrides own_tags REGEX "^[a-z]")
        list(APPEND override_tags ${own_tags})
    endif()
    list(TRANSFORM override_tags PREPEND "${package_${component}}: ")
    list(JOIN override_tags "\n" override_text)
    file(WRITE ${overrides} "${override_text}\n")
    install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
            RENAME ${package_${component}} COMPONENT ${component})
    # CPack strips the binaries as "strip FILE" does; Debian's packages also drop the sections
    # that only name the compiler (.comment, .note), as dh_strip does.
    # The target's objcopy: a cross build's binaries are not the build machine's.
    install(CODE "vexo_drop_note_sections(\"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\" \"${CMAKE_OBJCOPY}\")"
            COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
# A cross build (cmake/toolchains/) packs for its target; otherwise CPack asks dpkg.
if(VEXO_CROSS_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VEXO_CROSS_DEB_ARCH})
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME vexo)
set(CPACK_PACKAGE_VENDOR "the Vexo developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description below starts with its own synopsis; with the summary left at
# CPack's default value CPack puts no common summary line above it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VEXO_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VEXO_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies come from the binaries (dpkg-shlibdeps). libvexo itself is found in this build
# tree and is no Debian package yet at that point: the packages that link it depend on
# libvexo0 of the same version, named below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(libvexo_exact "libvexo0 (= ${PROJECT_VERSION}-${VEXO_DEB_REVISION})")
set(libvexo_cpp_exact "libvexo-cpp0 (= ${PROJECT_VERSION}-${VEXO_DEB_REVISION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# shlibs: "libvexo 0 libvexo0 (>= version)" for packages built against libvexo. The ldconfig
# trigger replaces the maintainer-script calls CPack would write when the package has no
# postinst and postrm of its own.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The symbols file lists every exported function (the linker's version script) as present
# since this version, so programs depend on the oldest libvexo0 that has what they call.
file(READ ${PROJECT_SOURCE_DIR}/src/api/exports.map exports_map)
if(NOT exports_map MATCHES "global:(.*)local:")
    message(FATAL_ERROR "src/api/exports.map: no global: ... local: section")
endif()
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" exported "${CMAKE_MATCH_1}")
set(symbols "libvexo.so.${PROJECT_VERSION_MAJOR} libvexo0 #MINVER#\n* Build-Depends-Package: libvexo-dev\n")
foreach(name IN LISTS exported)
    string(APPEND symbols " ${name}@Base ${PROJECT_VERSION}\n")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/debian/symbols "${symbols}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/symbols
    ${debian_dir}/libvexo0/triggers ${debian_dir}/libvexo0/postinst ${debian_dir}/libvexo0/postrm)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "camera access library for USB camera boards
libvexo finds USB camera boards, opens them with a sensor configuration,
reads and writes sensor and board registers, streams frames and runs
control scripts. Virtual boards, simulated in the library, stream real
images for development without hardware.

This package holds the shared library and the udev rule that gives the
logged-in user access to the boards.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ${libvexo_exact})
set(CPACK_COMPONENT_DEV_DESCRIPTION "camera access library for USB camera boards - development files
This package holds the C headers, the C++ header vexo/vexo.hpp, the CMake
package (find_package(Vexo), target Vexo::vexo) and the pkg-config file
(vexo) for programs that use libvexo.")

set(CPACK_DEBIAN_CPP_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_CPP_PACKAGE_DEPENDS ${libvexo_exact})
# Written when the library is linked (src/cpp/debian_symbols.cmake): every exported name.
set(CPACK_DEBIAN_CPP_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/libvexo-cpp0/symbols
    ${debian_dir}/libvexo-cpp0/triggers)
set(CPACK_COMPONENT_CPP_DESCRIPTION "C++ layer of the camera access library for USB camera boards
libvexo-cpp is what C++ programs, the vexo tool, the GStreamer element and
the Python package share above libvexo: the layout of a board's frames,
camera configuration files, frame conversion to pictures, PNG, DNG and raw
frame files, and the recorder.")

set(CPACK_DEBIAN_CPPDEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CPPDEV_PACKAGE_DEPENDS
    "${libvexo_cpp_exact}, libvexo-dev (= ${PROJECT_VERSION}-${VEXO_DEB_REVISION})")
set(CPACK_COMPONENT_CPPDEV_DESCRIPTION "C++ layer of the camera access library - development files
This package holds the headers of libvexo-cpp (vexo/frame_layout.hpp,
vexo/camera_file.hpp, ...), the CMake target Vexo::vexo_cpp
(find_package(Vexo COMPONENTS cpp)) and the pkg-config file (vexo-cpp).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION video)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${libvexo_exact}, ${libvexo_cpp_exact}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line tool for USB camera boards
vexo scans camera boards, captures frames to image files (PNG, JPEG),
reads and writes sensor registers and the board's user data, and measures
a stream. Without an attached board it works with a virtual one.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= 3.11), python3 (<< 3.12), python3-numpy, ${libvexo_cpp_exact}")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${debian_dir}/python3-vexo/postinst ${debian_dir}/python3-vexo/prerm)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python 3 module for USB camera boards
VexoSDK is the camera library as a Python module; the vexo package on top
of it opens boards, yields frames as numpy arrays and raises exceptions
named after the library's status codes. The module carries the library
itself; its configuration files, conversion and frame files are those of
libvexo-cpp.")

set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SECTION video)
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS "${libvexo_exact}, ${libvexo_cpp_exact}")
set(CPACK_COMPONENT_GSTREAMER_DESCRIPTION "GStreamer source element for USB camera boards
The vexosrc element streams frames from a USB camera board (or a virtual
one) into a GStreamer pipeline.")

include(CPack)
