# Writes the manual page vexo(1), gzip-compressed, from the tool's --help texts:
#   cmake -DTOOL=path/to/vexo -DVERSION=x.y.z -DOUTPUT=vexo.1.gz -P man_page.cmake
# The help of CLI11 is a description, "Usage:", and blocks ("Options:", "Subcommands:") of
# items: a line indented by two spaces names the item, its text follows after two or more
# spaces or on lines indented further. Items become tagged paragraphs, the rest plain text.

function(help_text out)
    separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")  # a cross build's qemu-user
    execute_process(COMMAND ${emulator} ${TOOL} ${ARGN} --help OUTPUT_VARIABLE text
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${TOOL} ${ARGN} --help failed (${rc})")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(roff_escape out text)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    string(REGEX REPLACE "^([.'])" "\\\\&\\1" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# help_to_roff(OUT TEXT): the help text as roff, "Usage:" lines left out (the synopsis says it).
function(help_to_roff out text)
    # Line by line without CMake lists, which would split at ';' and join over '[' ... ']'.
    set(roff "")
    string(APPEND text "\n")
    while(NOT text STREQUAL "")
        string(FIND "${text}" "\n" end)
        string(SUBSTRING "${text}" 0 ${end} line)
        math(EXPR end "${end} + 1")
        string(SUBSTRING "${text}" ${end} -1 text)
        if(line STREQUAL "" OR line MATCHES "^Usage:")
            continue()
        endif()
        if(line MATCHES "^([A-Za-z][A-Za-z ]*):$")
            string(APPEND roff ".PP\n.B ${CMAKE_MATCH_1}\n")
        elseif(line MATCHES "^  ([^ ].*[^ ])  +([^ ].*)$")
            roff_escape(term "${CMAKE_MATCH_1}")
            roff_escape(body "${CMAKE_MATCH_2}")
            string(APPEND roff ".TP\n.B ${term}\n${body}\n")
        elseif(line MATCHES "^  ([^ ].*)$")
            roff_escape(term "${CMAKE_MATCH_1}")
            string(APPEND roff ".TP\n.B ${term}\n")
        elseif(line MATCHES "^ +([^ ].*)$")
            roff_escape(body "${CMAKE_MATCH_1}")
            string(APPEND roff "${body}\n")
        else()
            roff_escape(body "${line}")
            string(APPEND roff ".PP\n${body}\n")
        endif()
    endwhile()
    set(${out} "${roff}" PARENT_SCOPE)
endfunction()

help_text(main)
string(REGEX MATCH "\nSubcommands:\n.*" commands_block "${main}")
string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*" commands "${commands_block}")
string(REPLACE "\n  " "" commands "${commands}")
if(NOT commands)
    message(FATAL_ERROR "no commands found in ${TOOL} --help")
endif()

help_to_roff(description "${main}")
set(page ".TH VEXO 1 \"\" \"vexo ${VERSION}\" \"User Commands\"
.SH NAME
vexo \\- scan camera boards, capture frames to image files, read and write registers and user data
.SH SYNOPSIS
.B vexo
[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fICOMMAND\\-OPTIONS\\fR]
.SH DESCRIPTION
${description}.SH COMMANDS
")
foreach(command IN LISTS commands)
    help_text(text ${command})
    help_to_roff(body "${text}")
    string(APPEND page ".SS vexo ${command}\n${body}")
endforeach()
string(APPEND page ".SH ENVIRONMENT
.TP
.B VEXO_VIRTUAL_BOARDS
Virtual boards that the library shows next to attached ones: \\fB1\\fR for one default board,
or a JSON document describing them (as \\fB\\-\\-boards\\fR takes it).
.SH EXIT STATUS
0 on success, 1 when a command failed, 2 for wrong arguments.
.SH FILES
.TP
.I /usr/lib/udev/rules.d/70\\-vexo.rules
The udev rule that gives the logged\\-in user and the group plugdev access to the boards
(package libvexo0; \\fBcmake \\-\\-install\\fR puts it under its prefix).
")
set(plain ${OUTPUT})
string(REGEX REPLACE "\\.gz$" "" plain "${plain}")
file(WRITE ${plain} "${page}")
execute_process(COMMAND gzip -9nf ${plain} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${plain} failed")
endif()
