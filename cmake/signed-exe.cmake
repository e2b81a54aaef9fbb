# Run by cpack before it writes the zip. It clears what an earlier pack left
# beside the zip, and for a signed release (SIGNED_EXE) puts the signed exe in
# place of the built one and its signature beside the zip, once osslsigncode
# and openssl have shown that every signature in it verifies up to SIGN_ROOT,
# with SHA-256 or stronger and an RSA key, that every timestamp verifies up
# to SIGN_TSA_ROOT, and that it is this build with the signature added.
# Otherwise it says why in one line and leaves nothing to pack.
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

# A refusal says why in one line, before CMake's and cpack's own report of
# the failure. cpack compresses its staging folder even after this script
# has failed, so the staged files are removed first: it leaves an empty zip.
macro(refuse why)
  message(NOTICE "${signed} ${why}: nothing is packed")
  file(REMOVE_RECURSE ${work} ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
  message(FATAL_ERROR "refused SIGNED_EXE")
endmacro()
macro(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_QUIET)
endmacro()

if(NOT EXISTS ${signed} OR IS_DIRECTORY ${signed})
  refuse("is not a file")
endif()
# (In PEM, which every osslsigncode writes and reads alike.)
run(osslsigncode extract-signature -pem -in ${signed} -out ${work}/signature.pem)
if(failed)
  refuse("has no signature")
endif()

run(osslsigncode verify -in ${signed} -CAfile ${CPACK_SIGN_ROOT} -TSA-CAfile ${CPACK_SIGN_TSA_ROOT})
if(failed)
  refuse("has a signature that does not verify up to ${CPACK_SIGN_ROOT}")
endif()
# verify succeeds whatever it found of a timestamp: its report says.
if(out MATCHES "Timestamp Server Signature verification: failed")
  refuse("has a timestamp that does not verify up to ${CPACK_SIGN_TSA_ROOT}")
endif()
string(REGEX MATCHALL "\nSignature Index:" signatures "${out}")
string(REGEX MATCHALL "\nMessage digest algorithm  : [A-Z0-9]+" digests "${out}")
string(REGEX MATCHALL "\nTimestamp Server Signature verification: ok" timestamps "${out}")
list(LENGTH signatures count)
list(LENGTH digests digested)
if(count EQUAL 0 OR NOT digested EQUAL count)
  refuse("has signatures whose digests osslsigncode does not name")
endif()
foreach(digest IN LISTS digests)
  string(REGEX REPLACE ".*: " "" digest ${digest})
  if(NOT digest MATCHES "^SHA(256|384|512)$")
    refuse("is signed with ${digest}, where SHA-256 or stronger is needed")
  endif()
endforeach()

# Each signer's algorithm, a timestamp authority's too, is the object
# identifier (with any parameters) just before its signature value: an
# OCTET STRING one level up. It must be RSA: Smart App Control checks
# RSA signatures only.
run(openssl asn1parse -in ${work}/signature.pem -out ${work}/signature.p7s)  # and the signature in DER
if(failed)
  refuse("has a signature that openssl cannot read")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(algorithm "")
foreach(line IN LISTS lines)
  if(line MATCHES "d=([0-9]+) .* prim: OBJECT +:(.*)")
    set(depth ${CMAKE_MATCH_1})
    set(algorithm ${CMAKE_MATCH_2})
  elseif(line MATCHES "d=([0-9]+) .* prim: OCTET STRING")
    # (a digest here is the file's own, which verify has judged)
    if(algorithm AND CMAKE_MATCH_1 LESS depth AND NOT algorithm MATCHES "^(sha|md)[0-9]+$|RSAEncryption$|^rsaEncryption$")
      refuse("has a signer whose key is not RSA (${algorithm})")
    endif()
    set(algorithm "")
  elseif(NOT line MATCHES "d=${depth} ")
    set(algorithm "")
  endif()
endforeach()

# The signature attached to the exe built here must give the signed exe byte
# for byte. (attach-signature also judges the chain, against the system's
# roots: its verdict is not this check's; verify above judged it.)
run(osslsigncode attach-signature -sigin ${work}/signature.pem -in ${built} -out ${work}/timerhold.exe)
run(${CMAKE_COMMAND} -E compare_files ${work}/timerhold.exe ${signed})  # differ, or nothing was attached
if(failed)
  refuse("is not this build's timerhold.exe with a signature added")
endif()

list(LENGTH timestamps stamped)
if(stamped LESS count)
  message(NOTICE "${signed} has a signature without a timestamp: it lapses when its certificate expires")
endif()
file(COPY_FILE ${signed} ${built})
file(COPY_FILE ${work}/signature.p7s ${release}.exe.p7s)
file(REMOVE_RECURSE ${work})
