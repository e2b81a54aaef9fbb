# The release of a Windows build (`arch` names its kind): a zip of the exe,
# the user's part of the README (everything before "# Building from source",
# its file names with this version) and the licence, as text files in
# Windows' own form: .txt, CRLF, and no Markdown marks (headings' and code's).
file(READ README.md readme)
string(REGEX REPLACE "\n# Building from source\n.*|`" "" readme "${readme}")
string(REPLACE "-VERSION-" "-${PROJECT_VERSION}-" readme "${readme}")
string(REGEX REPLACE "(^|\n)#+ " "\\1" readme "${readme}")
file(CONFIGURE OUTPUT README.txt CONTENT "${readme}" @ONLY NEWLINE_STYLE CRLF)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS README.md)
configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(TARGETS timerhold RUNTIME DESTINATION .)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)

# A signed release: the publisher signs the built exe outside the build and
# names the result, the roots its signature and timestamps must chain to, and
# CRLs that cannot be fetched. cpack packs it only once release/gate.py has
# shown it to be this build signed as Windows trusts.
set(SIGNED_EXE "" CACHE FILEPATH "This build's timerhold.exe with a signature added, packed in its place")
set(SIGN_ROOT "" CACHE FILEPATH "The PEM root certificate that SIGNED_EXE's signature must chain to")
set(SIGN_TSA_ROOT "" CACHE FILEPATH "The PEM root certificate of SIGNED_EXE's timestamps, if not SIGN_ROOT")
set(SIGN_CRL "" CACHE FILEPATH "PEM CRLs of the certificates in SIGNED_EXE's chains, for what cannot be fetched")
foreach(name SIGNED_EXE SIGN_ROOT SIGN_TSA_ROOT SIGN_CRL)
  # (CMake splits a name at ';', and rewrites '"', '\\', '$' and line breaks in cpack's configuration.
  # The refusal leaves nothing that cpack could pack from an earlier configuration.)
  if("${${name}}" MATCHES "[;\"\\$\n]")
    file(GLOB packed ${CMAKE_BINARY_DIR}/timerhold-*)
    file(REMOVE_RECURSE ${packed} ${CMAKE_BINARY_DIR}/_CPack_Packages ${CMAKE_BINARY_DIR}/CPackConfig.cmake)
    message(FATAL_ERROR "${name} holds a ';', '\"', '\\', '$' or line break: move or rename it")
  endif()
  set(CPACK_${name} ${${name}})
endforeach()

set(CPACK_GENERATOR ZIP)
set(CPACK_SYSTEM_NAME windows-${arch})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)  # the files at its root: Extract All makes the one folder
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/pack.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/normalize-zip.cmake)
include(CPack)
