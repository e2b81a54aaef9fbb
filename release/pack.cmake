# Run by cpack before it writes the zip. It clears what an earlier pack left
# beside the zip. For a signed release, release/gate.py writes SIGNED_EXE's
# signature beside the zip, or refuses; the signature is then attached to
# the built exe. release/check names one with -D CPACK_SIGNATURE=P7S, to
# pack a downloaded signature as the publisher packed it.
set(release ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME})
set(exe ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/timerhold.exe)
file(REMOVE ${release}.zip ${release}.zip.sha256 ${release}.exe.p7s)
if(CPACK_SIGNED_EXE)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/gate.py ${CPACK_SIGNED_EXE} ${exe} "${CPACK_SIGN_ROOT}"
    "${CPACK_SIGN_TSA_ROOT}" "${CPACK_SIGN_CRL}" ${release}.exe.p7s COMMAND_ERROR_IS_FATAL ANY)
  set(CPACK_SIGNATURE ${release}.exe.p7s)
endif()
if(CPACK_SIGNATURE)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/pe.py ${exe} ${CPACK_SIGNATURE} COMMAND_ERROR_IS_FATAL ANY)
endif()
