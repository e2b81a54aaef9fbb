# Run by cpack before it writes the zip. It clears what an earlier pack left
# beside the zip, and for a signed release has release/gate.py put the signed
# exe in place of the built one and its signature beside the zip, or refuse.
set(release ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME})
file(REMOVE ${release}.zip ${release}.zip.sha256 ${release}.exe.p7s)
if(CPACK_SIGNED_EXE)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/gate.py ${CPACK_SIGNED_EXE}
    ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/timerhold.exe "${CPACK_SIGN_ROOT}" "${CPACK_SIGN_TSA_ROOT}" "${CPACK_SIGN_CRL}"
    ${release}.exe.p7s COMMAND_ERROR_IS_FATAL ANY)
endif()
