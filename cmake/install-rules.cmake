include(GNUInstallDirs)

install(TARGETS morvask RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (the package's, or --strip) also drops the compilers' version notes in
# .comment, as Debian's own strip step does: they tell a user nothing.
install(CODE "
if(CMAKE_INSTALL_DO_STRIP)
    execute_process(
        COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:morvask>\"
        COMMAND_ERROR_IS_FATAL ANY)
endif()")

# The man page carries the version and the release date; it, the changelog and the guarantees (which
# the man page points to, and which Debian would have compressed for their size) are installed
# compressed, as man and Debian expect. -n keeps the build's time out of the files, so they build
# the same twice.
configure_file(docs/morvask.1.in ${PROJECT_BINARY_DIR}/morvask.1 @ONLY)
configure_file(packaging/changelog ${PROJECT_BINARY_DIR}/changelog COPYONLY)
configure_file(docs/guarantees.md ${PROJECT_BINARY_DIR}/guarantees.md COPYONLY)
find_program(GZIP gzip REQUIRED)
set(compressed_docs)
foreach(name IN ITEMS morvask.1 changelog guarantees.md)
    add_custom_command(
        OUTPUT ${PROJECT_BINARY_DIR}/${name}.gz
        COMMAND ${GZIP} -9 -n -f -k ${PROJECT_BINARY_DIR}/${name}
        DEPENDS ${PROJECT_BINARY_DIR}/${name})
    list(APPEND compressed_docs ${PROJECT_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed_docs})

install(FILES ${PROJECT_BINARY_DIR}/morvask.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_BINARY_DIR}/guarantees.md.gz
              packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
