# A vector kernel's object file must define no code visible but its one entry point. An inline
# function emitted there would be built for the kernel's instruction set, and the linker could
# pick that copy for code that runs on every CPU. Weak data holds no instructions: clang's
# -fsanitize=function emits type descriptions so.
#
# cmake -DNM=<nm> -DKERNELS=<name>|<name>... -DOBJECTS=<object>|<object>...
#       -P kernel_isolation.cmake
#
# KERNELS are those that morvask_add_kernel() built with CPU features; OBJECTS, all of the codec's.

string(REPLACE "|" ";" kernels "${KERNELS}")
string(REPLACE "|" ";" objects "${OBJECTS}")
if(NOT kernels)
    message(FATAL_ERROR "no kernels to check")
endif()
set(failed 0)
foreach(kernel IN LISTS kernels)
    set(leaks 0)
    # The object file of src/codec/kernels/<kernel>.cpp, and only that one.
    set(object ${objects})
    list(FILTER object INCLUDE REGEX "/kernels/${kernel}\\.cpp\\.o(bj)?$")
    list(LENGTH object found)
    if(NOT found EQUAL 1)
        message(FATAL_ERROR "${found} object files for the kernel ${kernel}, expected one")
    endif()
    execute_process(COMMAND ${NM} -C --defined-only --extern-only ${object}
                    OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "\n$" "" symbols "${symbols}")
    string(REPLACE "\n" ";" symbols "${symbols}")
    set(entry_points 0)
    foreach(symbol IN LISTS symbols)
        if(symbol MATCHES "^[0-9a-f]+ T morvask::transcode_${kernel}\\(")
            math(EXPR entry_points "${entry_points} + 1")
        elseif(NOT symbol MATCHES "^[0-9a-f]+ V ")
            message(SEND_ERROR "${object} leaks: ${symbol}")
            set(leaks 1)
        endif()
    endforeach()
    if(NOT entry_points EQUAL 1)
        message(SEND_ERROR "${object}: ${entry_points} entry points, expected transcode_${kernel}")
        set(leaks 1)
    endif()
    math(EXPR failed "${failed} + ${leaks}")
endforeach()
# As every test program ends: what was checked, kernel by kernel.
list(LENGTH kernels checked)
math(EXPR passed "${checked} - ${failed}")
message("${passed} passed, ${failed} failed, 0 skipped")
