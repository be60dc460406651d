# Throw-away code-signing PKI for the tests, made at build time; private keys
# stay in the build tree. See docs/code-signing.md.
set(ZEL_PKI_DIR ${CMAKE_BINARY_DIR}/pki)
set(ZEL_PKI_SIGNERS karvelo other system expired untrusted)
set(ZEL_PKI_FILES ${ZEL_PKI_DIR}/root.crt ${ZEL_PKI_DIR}/root.der ${ZEL_PKI_DIR}/root.reg)
foreach(signer IN LISTS ZEL_PKI_SIGNERS)
  list(APPEND ZEL_PKI_FILES ${ZEL_PKI_DIR}/${signer}.der ${ZEL_PKI_DIR}/${signer}.key
       ${ZEL_PKI_DIR}/${signer}.chain.pem)
endforeach()

add_custom_command(
  OUTPUT ${ZEL_PKI_FILES}
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/make-test-pki.sh ${ZEL_PKI_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/scripts/make-test-pki.sh
  COMMENT "Making the test code-signing PKI"
  VERBATIM)

# The root is trusted in the build tree's own Wine prefix only. The stamp
# lives in the prefix, so a fresh prefix is trusted again.
set(ZEL_TEST_ROOT_STAMP ${CMAKE_BINARY_DIR}/wine/.zel-test-root-trusted)
add_custom_command(
  OUTPUT ${ZEL_TEST_ROOT_STAMP}
  COMMAND ${CMAKE_COMMAND} -E env ZEL_BUILD_DIR=${CMAKE_BINARY_DIR}
          ${PROJECT_SOURCE_DIR}/scripts/trust-test-root.sh ${ZEL_PKI_DIR} ${ZEL_TEST_ROOT_STAMP}
  DEPENDS ${ZEL_PKI_DIR}/root.reg ${PROJECT_SOURCE_DIR}/scripts/trust-test-root.sh
  COMMENT "Trusting the test root in the Wine prefix"
  VERBATIM)
add_custom_target(zel_test_pki ALL DEPENDS ${ZEL_PKI_FILES} ${ZEL_TEST_ROOT_STAMP})

# zel_signed_copy(<target> <binary-target> <output-name>
#                 SIGNER <signer> [NEST <signer>] [DIGEST sha1|sha256]
#                 [DESTINATION <dir>])
# A signed copy of a built binary (default: beside the calling folder's
# binaries). <signer> is one of ZEL_PKI_SIGNERS; NEST adds a secondary
# signature by another signer. The custom target <target> builds it.
function(zel_signed_copy target binary output)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "SIGNER;NEST;DIGEST;DESTINATION" "")
  if(NOT arg_SIGNER)
    message(FATAL_ERROR "zel_signed_copy(${target}): SIGNER is required")
  endif()
  if(NOT arg_DIGEST)
    set(arg_DIGEST sha256)
  endif()
  if(NOT arg_DESTINATION)
    set(arg_DESTINATION ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  set(out ${arg_DESTINATION}/${output})
  set(commands
      COMMAND ${CMAKE_COMMAND} -E make_directory ${arg_DESTINATION}
      COMMAND ${CMAKE_COMMAND} -E rm -f ${out} ${out}.unnested
      COMMAND osslsigncode sign -certs ${ZEL_PKI_DIR}/${arg_SIGNER}.chain.pem
              -key ${ZEL_PKI_DIR}/${arg_SIGNER}.key -h ${arg_DIGEST}
              -in $<TARGET_FILE:${binary}> -out ${out})
  if(arg_NEST)
    list(APPEND commands
         COMMAND ${CMAKE_COMMAND} -E rename ${out} ${out}.unnested
         COMMAND osslsigncode sign -nest -certs ${ZEL_PKI_DIR}/${arg_NEST}.chain.pem
                 -key ${ZEL_PKI_DIR}/${arg_NEST}.key -h ${arg_DIGEST}
                 -in ${out}.unnested -out ${out}
         COMMAND ${CMAKE_COMMAND} -E rm -f ${out}.unnested)
  endif()
  add_custom_command(
    OUTPUT ${out}
    ${commands}
    DEPENDS ${binary} ${ZEL_PKI_FILES}
    COMMENT "Signing ${output} (${arg_SIGNER}${arg_NEST})"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${out} zel_test_pki)
endfunction()

# zel_grafted_copy(<target> <signed-file> <donor-file> <output>
#                  DEPENDS <targets that make both files>)
# An attack file for the tests: <signed-file> carrying, as a nested
# signature, the genuine signature of another file (<donor-file>). The copied
# signature verifies on its own but was made over other bytes. osslsigncode
# notices the mismatch and exits with 1 after writing the file: here that is
# the expected outcome, so only a written file counts.
function(zel_grafted_copy target signed donor output)
  cmake_parse_arguments(PARSE_ARGV 4 arg "" "" "DEPENDS")
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${output})
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${out} ${out}.sig
    COMMAND osslsigncode extract-signature -in ${donor} -out ${out}.sig
    COMMAND sh -c "osslsigncode attach-signature -sigin \"$1.sig\" -nest -in \"$2\" -out \"$1\" >/dev/null 2>&1; test -s \"$1\"" sh ${out} ${signed}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${out}.sig
    DEPENDS ${signed} ${donor} ${arg_DEPENDS}
    COMMENT "Grafting the signature of ${donor} onto ${output}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${out})
endfunction()
