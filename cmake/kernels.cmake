# The codec's kernels, each one file, src/codec/kernels/<name>.cpp, that defines
# morvask::transcode_<name>:
#
#   morvask_add_kernel(NAME <name> [CPU_FEATURES <feature>...])
#
# adds the file to morvask_codec and the kernel to the table in kernels.cpp, after those added
# before it; call it fastest first, the scalar kernel last. A kernel with CPU features is built
# with -m<feature> for each, in its own file only, runs only where __builtin_cpu_supports finds
# every one, and is on the list that the isolation test checks (MORVASK_ISOLATED_KERNELS).

# Read when the build is generated, so that it holds every kernel added before or after this.
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/generated/codec/kernels/kernel_list.inc
     CONTENT "$<JOIN:$<TARGET_PROPERTY:morvask_codec,MORVASK_KERNEL_LIST>,\n>\n")
target_include_directories(morvask_codec PRIVATE ${CMAKE_BINARY_DIR}/generated)

function(morvask_add_kernel)
    cmake_parse_arguments(PARSE_ARGV 0 kernel "" NAME CPU_FEATURES)
    if(NOT kernel_NAME OR kernel_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "morvask_add_kernel(NAME <name> [CPU_FEATURES <feature>...])")
    endif()
    set(source ${PROJECT_SOURCE_DIR}/src/codec/kernels/${kernel_NAME}.cpp)
    target_sources(morvask_codec PRIVATE ${source})
    set(check true)
    if(kernel_CPU_FEATURES)
        list(TRANSFORM kernel_CPU_FEATURES PREPEND -m OUTPUT_VARIABLE flags)
        set_source_files_properties(${source} TARGET_DIRECTORY morvask_codec
                                    PROPERTIES COMPILE_OPTIONS "${flags}")
        list(TRANSFORM kernel_CPU_FEATURES REPLACE "(.+)" "__builtin_cpu_supports(\"\\1\") != 0"
             OUTPUT_VARIABLE checks)
        list(JOIN checks " && " check)
        set_property(TARGET morvask_codec APPEND PROPERTY MORVASK_ISOLATED_KERNELS ${kernel_NAME})
    endif()
    set_property(TARGET morvask_codec APPEND PROPERTY MORVASK_KERNEL_LIST
                 "MORVASK_KERNEL(${kernel_NAME}, ${check})")
endfunction()
