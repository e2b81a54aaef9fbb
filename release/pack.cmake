# Run by cpack before it writes the zip. A signed release is packed with
# -D CPACK_SIGNATURE=P7S, a signature that release/gate.py wrote (or, for
# release/check, one downloaded): it is attached to the built exe. An earlier
# zip goes first, so that none is left for the signed one where this fails.
file(REMOVE ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip.sha256)
if(CPACK_SIGNATURE)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/pe.py ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/timerhold.exe
    ${CPACK_SIGNATURE} COMMAND_ERROR_IS_FATAL ANY)
endif()
