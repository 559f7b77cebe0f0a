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

# The man page carries the version and the release date; it and the changelog are installed
# compressed, as man and Debian expect. -n keeps the build's time out of the files, so they build
# the same twice.
configure_file(docs/morvask.1.in ${PROJECT_BINARY_DIR}/morvask.1 @ONLY)
configure_file(packaging/changelog ${PROJECT_BINARY_DIR}/changelog COPYONLY)
find_program(GZIP gzip REQUIRED)
set(compressed_docs)
foreach(name IN ITEMS morvask.1 changelog)
    add_custom_command(
        OUTPUT ${PROJECT_BINARY_DIR}/${name}.gz
        COMMAND ${GZIP} -9 -n -f -k ${PROJECT_BINARY_DIR}/${name}
        DEPENDS ${PROJECT_BINARY_DIR}/${name})
    list(APPEND compressed_docs ${PROJECT_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed_docs})

install(FILES ${PROJECT_BINARY_DIR}/morvask.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
