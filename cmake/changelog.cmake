# packaging/changelog is the one place where a release's notes and its date are written, once per
# release. Its latest entry must be this version's; its date is the release date, which the man
# page shows and which stamps every file in the package, as Debian's builds take it from theirs.

set(changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
file(STRINGS ${changelog} heading LIMIT_COUNT 1 REGEX "^[a-z]")
file(STRINGS ${changelog} trailer LIMIT_COUNT 1 REGEX "^ -- ")
string(REGEX MATCH "^[^ ]+ \\([^)]*\\)" heading "${heading}")
if(NOT heading STREQUAL "${PROJECT_NAME} (${PROJECT_VERSION})")
    message(FATAL_ERROR "${changelog} starts with '${heading}', not '${PROJECT_NAME} "
                        "(${PROJECT_VERSION})': write this version's entry on top")
endif()
if(NOT trailer MATCHES ">  (.+)$")
    message(FATAL_ERROR "${changelog}: no date in the latest entry's last line, '${trailer}'")
endif()
# GNU date reads the changelog's RFC 5322 date; CMake has no date parser of its own.
execute_process(
    COMMAND date --utc "--date=${CMAKE_MATCH_1}" "+%s %F"
    OUTPUT_VARIABLE release_date OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(release_date)
list(GET release_date 0 MORVASK_RELEASE_EPOCH)
list(GET release_date 1 MORVASK_RELEASE_DATE)
