# Warnings and sanitizers for every target of the project.
add_compile_options(-Wall -Wextra)
if(VEXO_WERROR)
    add_compile_options(-Werror)
endif()
if(VEXO_SANITIZE)
    add_compile_options(-fsanitize=${VEXO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${VEXO_SANITIZE})
endif()
if(VEXO_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "VEXO_BUILD_FUZZ needs clang (CC=clang CXX=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
# Shared libraries name every symbol they need. Not in a fuzzing build: clang links the
# sanitizers' runtime into the fuzzing program, which then provides it to the libraries.
set(VEXO_NO_UNDEFINED -Wl,--no-undefined)
if(VEXO_BUILD_FUZZ)
    set(VEXO_NO_UNDEFINED "")
endif()
# 32-bit Linux (armhf): 64-bit file offsets and inode numbers, as on 64-bit systems. Without
# them fstat() fails on files past 2 GiB or with a 64-bit inode number (XFS, btrfs, NFS), and
# offsets past 2 GiB do not fit off_t. No public header carries off_t or struct stat, so
# programs built without it link the same library.
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT WIN32)
    add_compile_definitions(_FILE_OFFSET_BITS=64)
endif()

# A static part of libvexo: it sees the public and inner headers and builds the exported
# functions; programs linking it on Windows call them directly, not through the DLL.
function(vexo_library_part target)
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/include
                                                ${PROJECT_SOURCE_DIR}/src)
    target_compile_definitions(${target} PRIVATE VEXO_BUILDING)
    if(WIN32)
        target_compile_definitions(${target} INTERFACE VEXO_STATIC)
    endif()
endfunction()
