# A vector kernel's object file must define nothing visible but its own entry point. An inline
# function emitted there would be built for the kernel's instruction set, and the linker could
# pick that copy for code that runs on every CPU.
#
# cmake -DNM=<nm> -DOBJECTS=<object>|<object>... -P kernel_isolation.cmake

string(REPLACE "|" ";" objects "${OBJECTS}")
if(NOT objects)
    message(FATAL_ERROR "no kernel object files to check")
endif()
foreach(object IN LISTS objects)
    if(NOT object MATCHES "kernels/([a-z0-9]+)\\.cpp\\.o$")
        message(FATAL_ERROR "${object} is not a kernel's object file")
    endif()
    set(kernel ${CMAKE_MATCH_1})
    execute_process(COMMAND ${NM} -C --defined-only --extern-only ${object}
                    OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "\n$" "" symbols "${symbols}")
    string(REPLACE "\n" ";" symbols "${symbols}")
    set(entry_points 0)
    foreach(symbol IN LISTS symbols)
        if(symbol MATCHES "^[0-9a-f]+ T morvask::transcode_${kernel}\\(")
            math(EXPR entry_points "${entry_points} + 1")
        else()
            message(SEND_ERROR "${object} leaks: ${symbol}")
        endif()
    endforeach()
    if(NOT entry_points EQUAL 1)
        message(SEND_ERROR "${object}: ${entry_points} entry points, expected transcode_${kernel}")
    endif()
endforeach()
