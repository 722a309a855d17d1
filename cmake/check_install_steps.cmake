# Steps shared by the install checks (tests/api/check_install.cmake,
# tests/cpp_layer/check_layer_install.cmake), which run as cmake -P scripts.

# Runs a command; stops the check with its output when it fails. Its stdout is left in
# `output` in the caller's scope.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

# Installs the build tree's given components into a prefix.
function(install_components build prefix)
    foreach(component ${ARGN})
        run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix} --component ${component})
    endforeach()
endfunction()

# The compile and link flags pkg-config gives for a module, as a list, in `var`.
function(pkg_config_flags module var)
    execute_process(COMMAND pkg-config --cflags --libs ${module} OUTPUT_VARIABLE flags
                    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "pkg-config does not know ${module}")
    endif()
    separate_arguments(flags)
    set(${var} "${flags}" PARENT_SCOPE)
endfunction()
