# The release of a Windows build (`arch` names its kind): a zip of the exe,
# the user's part of the README (everything before "# Building from source",
# its file names with this version, its commands' with this kind) and the
# licence, as text files in Windows' own form: .txt, CRLF, and no Markdown
# marks (headings' and code's).
file(READ README.md readme)
string(REGEX REPLACE "\n# Building from source\n.*|`" "" readme "${readme}")
string(REPLACE "-windows-ARCH." "-windows-${arch}." readme "${readme}")
string(REPLACE "-VERSION-" "-${PROJECT_VERSION}-" readme "${readme}")
string(REGEX REPLACE "(^|\n)#+ " "\\1" readme "${readme}")
file(CONFIGURE OUTPUT README.txt CONTENT "${readme}" @ONLY NEWLINE_STYLE CRLF)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS README.md)
configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(TARGETS timerhold RUNTIME DESTINATION .)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_SYSTEM_NAME windows-${arch})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)  # the files at its root: Extract All makes the one folder
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/pack.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/normalize-zip.cmake)
include(CPack)
