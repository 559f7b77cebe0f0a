# A Debian package of what the install rules install, made by the package preset. Its version is the
# project's. CPack installs through the build folder's install script, which rewrites that folder's
# install_manifest.txt with the package's paths (/usr/bin/morvask), so the package is built in a
# folder of its own (build/release-package): in build/release, the README's uninstall line would
# then remove an installed package's files.

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
# Depends, from the shared libraries the binary links (dpkg-shlibdeps, in dpkg-dev). Cross-built,
# that reads the target's C library as dpkg knows it (libc6:arm64 for arm64).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Cross-built, the package is the target's, which dpkg-architecture names from the compiler's
# multiarch name; a native build leaves that to CPack, which asks dpkg.
find_program(DPKG_ARCHITECTURE dpkg-architecture)
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND DPKG_ARCHITECTURE)
    execute_process(
        COMMAND ${DPKG_ARCHITECTURE} --host-type ${CMAKE_LIBRARY_ARCHITECTURE} --query DEB_HOST_ARCH
        OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
endif()

# Reproducible: every time stamp in the package is SOURCE_DATE_EPOCH. The environment's when it sets
# one, at configure or at package time; else the release date, from the changelog.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(source_date_epoch $ENV{SOURCE_DATE_EPOCH})
else()
    set(source_date_epoch ${MORVASK_RELEASE_EPOCH})
endif()
configure_file(cmake/cpack-project-config.cmake.in ${PROJECT_BINARY_DIR}/cpack-project-config.cmake
               @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-project-config.cmake)

include(CPack)
