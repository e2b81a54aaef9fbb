# Run by cpack before it writes the zip. It clears what an earlier pack left
# beside the zip, and for a signed release (SIGNED_EXE) puts the signed exe in
# place of the built one and its signature beside the zip, once osslsigncode
# and openssl have shown that every certificate in it is strong enough for
# Windows and not revoked, that every signature in it verifies up to
# SIGN_ROOT with SHA-256 or stronger, that every timestamp verifies up to
# SIGN_TSA_ROOT with SHA-256 or stronger, and that it is this build with the
# signature added. Otherwise it says why in one line and leaves nothing to pack.
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
function(refuse why)
  message(NOTICE "${signed} ${why}: nothing is packed")
  file(REMOVE_RECURSE ${work} ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
  message(FATAL_ERROR "refused SIGNED_EXE")
endfunction()
macro(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE err)
endmacro()

if(NOT EXISTS ${signed} OR IS_DIRECTORY ${signed})
  refuse("is not a file")
endif()
# (In PEM, which every osslsigncode writes and reads alike.)
run(osslsigncode extract-signature -pem -in ${signed} -out ${work}/signature.pem)
if(failed)
  # osslsigncode takes only a signature that ends the file.
  run(llvm-readobj --file-headers ${signed})
  if(out MATCHES "CertificateTableRVA: (0x[0-9A-F]+)\n *CertificateTableSize: (0x[0-9A-F]*[1-9A-F][0-9A-F]*)\n")
    math(EXPR end "${CMAKE_MATCH_1} + ${CMAKE_MATCH_2}")
    file(SIZE ${signed} size)
    if(size GREATER end)
      math(EXPR after "${size} - ${end}")
      refuse("has ${after} bytes after its signature")
    endif()
  endif()
  refuse("has no signature")
endif()

# Every certificate that came with the signature, its nested signatures' and
# its timestamps' (each a PKCS#7 SignedData of its own, found by its type).
run(openssl asn1parse -in ${work}/signature.pem -out ${work}/signature.p7s)  # and the signature in DER
string(REGEX MATCHALL "[0-9]+:d=[0-9]+ +hl=[0-9]+ l= *[0-9]+ cons: SEQUENCE *\n[^\n]*prim: OBJECT +:pkcs7-signedData" signeds "${out}")
set(certificates "")
foreach(signed_data IN LISTS signeds)
  string(REGEX MATCH "^([0-9]+):d=[0-9]+ +hl=([0-9]+) l= *([0-9]+)" _ "${signed_data}")
  math(EXPR length "${CMAKE_MATCH_2} + ${CMAKE_MATCH_3}")
  set(part ${work}/signature.p7s)
  if(CMAKE_MATCH_1 GREATER 0)  # (where openssl takes no offset)
    set(part ${work}/part.p7s)
    run(openssl asn1parse -inform DER -in ${work}/signature.p7s -offset ${CMAKE_MATCH_1} -length ${length} -noout -out ${part})
  endif()
  run(openssl pkcs7 -inform DER -in ${part} -print_certs)
  string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----[^-]*-----END CERTIFICATE-----\n" found "${out}")
  list(APPEND certificates ${found})
endforeach()
list(REMOVE_DUPLICATES certificates)
string(REPLACE ";" "" pem "${certificates}")
file(WRITE ${work}/certificates.pem "${pem}")
file(READ ${CPACK_SIGN_ROOT} roots)
file(READ ${CPACK_SIGN_TSA_ROOT} tsa_root)
file(WRITE ${work}/roots.pem "${roots}\n${tsa_root}")
set(crls ${work}/crls.pem)
if(CPACK_SIGN_CRL)
  file(COPY_FILE ${CPACK_SIGN_CRL} ${crls})
else()
  file(TOUCH ${crls})
endif()

# openssl judges each certificate as Windows would: at security level 2 (keys
# of 112-bit strength, RSA of 2048 bits or more; certificates signed with
# SHA-224 or stronger, but for a root's own), and against its issuer's CRL
# where it names one: SIGN_CRL's, or else the one it names, fetched. Where it
# cannot build a chain up to the roots, osslsigncode's verify below says so;
# it also judges the times, of certificates as of their timestamps.
set(index 0)
foreach(certificate IN LISTS certificates)
  set(cert ${work}/certificate-${index}.pem)
  math(EXPR index "${index} + 1")
  file(WRITE ${cert} "${certificate}")
  run(openssl x509 -in ${cert} -noout -subject -ext crlDistributionPoints)
  string(REGEX MATCH "^subject=([^\n]*)" _ "${out}")
  set(subject ${CMAKE_MATCH_1})
  string(REGEX MATCHALL "URI:[^\n]+" urls "${out}")
  list(TRANSFORM urls REPLACE "^URI:" "")
  set(check "")
  if(urls)
    set(check -crl_check)
  endif()
  foreach(url IN LISTS urls ITEMS -)  # (-: none left to fetch)
    file(SIZE ${crls} handed)
    set(crl_option "")
    if(handed)
      set(crl_option -CRLfile ${crls})
    endif()
    run(openssl verify -no_check_time -auth_level 2 -CAfile ${work}/roots.pem -untrusted ${work}/certificates.pem ${check} ${crl_option} ${cert})
    if(NOT err MATCHES "\nerror 3 at 0 depth" OR url STREQUAL "-")
      break()
    endif()
    file(DOWNLOAD ${url} ${work}/fetched.crl TIMEOUT 30 STATUS status)
    run(openssl crl -in ${work}/fetched.crl)
    if(NOT failed)
      file(APPEND ${crls} "${out}")
    endif()
  endforeach()
  # (The error that stopped openssl is the last it names.)
  if(err MATCHES "([^\n]*)\nerror ([0-9]+) at [0-9]+ depth lookup: ([^\n]*)\nerror [^\n]*: verification failed")
    set(refused "${CMAKE_MATCH_1}: ${CMAKE_MATCH_3}")
    if(CMAKE_MATCH_2 EQUAL 3)
      list(JOIN urls " or " urls)
      refuse("has a certificate (${subject}) whose CRL is not in SIGN_CRL and cannot be fetched from ${urls}")
    elseif(NOT CMAKE_MATCH_2 MATCHES "^(2|18|19|20|21)$")  # (no chain up to the roots)
      refuse("has a certificate that openssl refuses (${refused})")
    endif()
  endif()
  # (Security level 2 takes SHA-224 and 224-bit curves, which Windows does not.)
  run(openssl x509 -in ${cert} -noout -text)
  if(out MATCHES "id-ecPublicKey\n *Public-Key: \\(([0-9]+) bit\\)" AND CMAKE_MATCH_1 LESS 256)
    refuse("has a certificate whose key is on a curve smaller than P-256 (${subject})")
  endif()
  if(out MATCHES "Signature Algorithm: [^\n]*(sha|SHA)224")
    refuse("has a certificate signed with SHA-224, where SHA-256 or stronger is needed (${subject})")
  endif()
endforeach()

# Revocation is judged above. osslsigncode 2.9 would judge it again, of the
# signer and the timestamp authority only, fetching their CRLs itself; 2.5
# fetches none.
run(osslsigncode --help)
set(no_crl_check "")
if("${out}${err}" MATCHES " -ignore-crl ")
  set(no_crl_check -ignore-crl)
endif()
run(osslsigncode verify -in ${signed} -CAfile ${CPACK_SIGN_ROOT} -TSA-CAfile ${CPACK_SIGN_TSA_ROOT} ${no_crl_check})
if(failed)
  refuse("has a signature that does not verify up to ${CPACK_SIGN_ROOT}")
endif()
# verify succeeds whatever it found of a timestamp: its report says.
if(out MATCHES "Timestamp Server Signature verification: failed")
  refuse("has a timestamp that does not verify up to ${CPACK_SIGN_TSA_ROOT}")
endif()
string(REGEX MATCHALL "\nSignature Index:" signatures "${out}")
string(REGEX MATCHALL "\nMessage digest algorithm  : [A-Z0-9]+" digests "${out}")
string(REGEX MATCHALL "\n\t?Hash Algorithm: [a-z0-9]+" stamp_digests "${out}")  # (of timestamps)
string(REGEX MATCHALL "\nTimestamp Server Signature verification: ok" timestamps "${out}")
list(LENGTH signatures count)
list(LENGTH digests digested)
if(count EQUAL 0 OR NOT digested EQUAL count)
  refuse("has signatures whose digests osslsigncode does not name")
endif()
# Each "...: DIGEST" line of the report must name SHA-256 or stronger (in
# capitals for signatures, in small letters for timestamps).
function(need_sha256 pattern what)
  foreach(line IN LISTS ARGN)
    string(REGEX REPLACE ".*: " "" digest ${line})
    if(NOT digest MATCHES "${pattern}")
      refuse("${what} ${digest}, where SHA-256 or stronger is needed")
    endif()
  endforeach()
endfunction()
need_sha256("^SHA(256|384|512)$" "is signed with" ${digests})
# (Windows takes a timestamp signed with SHA-1 for none.)
need_sha256("^sha(256|384|512)$" "has a timestamp signed with" ${stamp_digests})

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
