# What the Windows build (cross-built with mingw-w64, cmake/mingw-w64-x86_64.cmake) brings along
# itself, since the build machine's libraries are Linux ones:
#   - Lua 5.3, built as a static library from its sources (VEXO_LUA_SOURCE_DIR),
#   - libjpeg-turbo's TurboJPEG, static, from its sources (VEXO_JPEG_SOURCE_DIR), for the
#     virtual board's JPEG pictures,
#   - nlohmann/json, header-only, copied from the build machine,
#   - GoogleTest, built from its sources (VEXO_GOOGLETEST_SOURCE_DIR) with the tests.
# scripts/test-windows.sh fetches the Lua and libjpeg-turbo sources from Debian's source
# packages into the build tree. Tests run under wine through wine-run.sh (from wine-run.sh.in).
#
# Included before the project's warning options, so that the third-party code built here is
# compiled with its own.

set(VEXO_LUA_SOURCE_DIR "" CACHE PATH "Lua 5.3 sources (the directory holding lua.h)")
set(VEXO_JPEG_SOURCE_DIR "" CACHE PATH "libjpeg-turbo sources (the directory holding turbojpeg.h)")
set(VEXO_NLOHMANN_INCLUDE_DIR /usr/include CACHE PATH "Directory holding nlohmann/json.hpp")
set(VEXO_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian: libgtest-dev)")

# Sources unpacked into the build tree by scripts/test-windows.sh are found without naming them.
if(NOT VEXO_LUA_SOURCE_DIR)
    file(GLOB lua_dirs ${CMAKE_BINARY_DIR}/lua-src/lua-5.3*/src)
    if(lua_dirs)
        list(GET lua_dirs 0 lua_dir)
        set(VEXO_LUA_SOURCE_DIR ${lua_dir} CACHE PATH "" FORCE)
    endif()
endif()
if(NOT VEXO_JPEG_SOURCE_DIR)
    file(GLOB jpeg_dirs ${CMAKE_BINARY_DIR}/jpeg-src/libjpeg-turbo-*)
    if(jpeg_dirs)
        list(GET jpeg_dirs 0 jpeg_dir)
        set(VEXO_JPEG_SOURCE_DIR ${jpeg_dir} CACHE PATH "" FORCE)
    endif()
endif()
if(NOT EXISTS ${VEXO_LUA_SOURCE_DIR}/lua.h OR NOT EXISTS ${VEXO_LUA_SOURCE_DIR}/lapi.c)
    message(FATAL_ERROR "VEXO_LUA_SOURCE_DIR must name Lua 5.3's src/ directory "
                        "(scripts/test-windows.sh fetches it)")
endif()
if(NOT EXISTS ${VEXO_JPEG_SOURCE_DIR}/turbojpeg.h)
    message(FATAL_ERROR "VEXO_JPEG_SOURCE_DIR must name the libjpeg-turbo sources "
                        "(scripts/test-windows.sh fetches them)")
endif()
if(NOT EXISTS ${VEXO_NLOHMANN_INCLUDE_DIR}/nlohmann/json.hpp)
    message(FATAL_ERROR "nlohmann/json.hpp not found in ${VEXO_NLOHMANN_INCLUDE_DIR} "
                        "(Debian: nlohmann-json3-dev)")
endif()

# Lua: the library without the two programs (lua.c, luac.c), with 5.2 compatibility as the
# stock build has it. lua.hpp wraps the headers in extern "C".
file(GLOB lua_sources ${VEXO_LUA_SOURCE_DIR}/*.c)
list(FILTER lua_sources EXCLUDE REGEX "/(lua|luac)\\.c$")
add_library(vexo_lua_from_source STATIC ${lua_sources})
target_include_directories(vexo_lua_from_source SYSTEM PUBLIC ${VEXO_LUA_SOURCE_DIR})
target_compile_definitions(vexo_lua_from_source PRIVATE LUA_COMPAT_5_2)
set_target_properties(vexo_lua_from_source PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE OFF)

# TurboJPEG: only its static library, without SIMD (that would need nasm).
include(ExternalProject)
set(jpeg_build ${CMAKE_BINARY_DIR}/libjpeg-turbo)
ExternalProject_Add(vexo_libjpeg_turbo
    SOURCE_DIR ${VEXO_JPEG_SOURCE_DIR}
    BINARY_DIR ${jpeg_build}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
               -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF -DWITH_TURBOJPEG=ON
               -DWITH_JAVA=OFF -DCMAKE_INSTALL_PREFIX=${jpeg_build}/unused-install
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${jpeg_build} --target turbojpeg-static
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${jpeg_build}/libturbojpeg.a
    EXCLUDE_FROM_ALL TRUE)
add_library(vexo_turbojpeg STATIC IMPORTED GLOBAL)
set_target_properties(vexo_turbojpeg PROPERTIES
    IMPORTED_LOCATION ${jpeg_build}/libturbojpeg.a
    INTERFACE_INCLUDE_DIRECTORIES ${VEXO_JPEG_SOURCE_DIR})
add_dependencies(vexo_turbojpeg vexo_libjpeg_turbo)

# nlohmann/json: headers only; copied so that no other header of the build machine is seen.
file(COPY ${VEXO_NLOHMANN_INCLUDE_DIR}/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/win-include)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/win-include)

if(VEXO_BUILD_TESTS)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(${VEXO_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(t gtest gtest_main gmock gmock_main)
        if(NOT TARGET GTest::${t})
            add_library(GTest::${t} ALIAS ${t})
        endif()
    endforeach()

    # The test programs run under wine, through a wrapper that sets up its prefix in the build
    # tree and finds libvexo.dll. Listing a program's tests waits for ctest, so that building
    # needs no wine.
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                   @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                   GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
    set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()

# What the POSIX-only parts of the test suites need from the C runtime (setenv, unsetenv).
set(VEXO_TEST_COMPAT_HEADER ${PROJECT_SOURCE_DIR}/tests/win32/posix_compat.h)
