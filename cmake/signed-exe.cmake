# Run by cpack before it writes the zip. It clears what an earlier pack left
# beside the zip, and for a signed release (SIGNED_EXE) puts the signed exe in
# place of the built one and its signature beside the zip, once osslsigncode
# has shown both that it is this build with a signature added and that the
# signature verifies up to SIGN_ROOT. Otherwise cpack stops: nothing is packed.
set(release ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME})
file(REMOVE ${release}.zip ${release}.zip.sha256 ${release}.exe.p7s)
if(NOT CPACK_SIGNED_EXE)
  return()
endif()

set(signed ${CPACK_SIGNED_EXE})
set(built ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/timerhold.exe)
set(work ${CPACK_TOPLEVEL_DIRECTORY}/signature)
file(REMOVE_RECURSE ${work})  # osslsigncode will not write over a file
file(MAKE_DIRECTORY ${work})

function(refuse why)
  # (The leading space keeps CMake from wrapping the line.)
  message(FATAL_ERROR " ${signed} ${why}: nothing is packed")
endfunction()
macro(osslsigncode)
  execute_process(COMMAND osslsigncode ${ARGN} RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
endmacro()

if(NOT EXISTS ${signed})
  refuse("does not exist")
endif()
osslsigncode(extract-signature -in ${signed} -out ${work}/signature.p7s)
if(failed)
  refuse("has no signature")
endif()
# The signature attached to the exe built here must give the signed exe byte
# for byte. (attach-signature also judges the chain, against the system's
# roots: its verdict is not this check's; verify below judges it.)
osslsigncode(attach-signature -sigin ${work}/signature.p7s -in ${built} -out ${work}/timerhold.exe)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${work}/timerhold.exe ${signed} RESULT_VARIABLE differ
  OUTPUT_QUIET ERROR_QUIET)  # differ, or nothing was attached
if(differ)
  refuse("is not this build's timerhold.exe with a signature added")
endif()
osslsigncode(verify -in ${signed} -CAfile ${CPACK_SIGN_ROOT})
if(failed)
  refuse("has a signature that does not verify up to ${CPACK_SIGN_ROOT}")
endif()

file(COPY_FILE ${signed} ${built})
file(COPY_FILE ${work}/signature.p7s ${release}.exe.p7s)
