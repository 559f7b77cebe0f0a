# A Debian package of what the install rules install, made by the package preset (or by cpack in
# the release build's folder). Its version is the project's.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The morvask authors")
set(CPACK_PACKAGE_CONTACT "morvask maintainers <maintainers@morvask.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "scramble files through a fixed byte table, not encryption")
# Lines of at most 80 characters, as Debian asks; an empty line separates the paragraphs.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "morvask replaces every byte of a file through a fixed table of 256 entries,"
    "and restores it through the inverse table. The output has exactly the length"
    "of the input, with no header, and decoding gives the original back byte for"
    "byte."
    ""
    "This scrambles; it is not encryption. There is no key: anyone with morvask can"
    "restore the file. Use it to keep bytes from being read by accident (by a"
    "search, a scanner, a preview), never to keep them from someone who means to"
    "read them.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends, from the shared libraries the binary links (dpkg-shlibdeps, in dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Reproducible: every time stamp in the package is SOURCE_DATE_EPOCH. The environment's when it sets
# one, at configure or at package time; else the last commit's time, the same in every clone; else,
# outside a git checkout, a fixed date.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(source_date_epoch $ENV{SOURCE_DATE_EPOCH})
else()
    find_package(Git QUIET)
    if(Git_FOUND)
        execute_process(
            COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE source_date_epoch
            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(NOT source_date_epoch MATCHES "^[0-9]+$")
        set(source_date_epoch 1796083200) # 2026-12-01, this release's month
    endif()
endif()
configure_file(cmake/cpack-project-config.cmake.in ${PROJECT_BINARY_DIR}/cpack-project-config.cmake
               @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-project-config.cmake)

include(CPack)
