# The code-signing identity of the build.
#
# A production build passes VESK_TRUST_ROOT (a PEM certificate) and
# VESK_TEAM_ID. Otherwise configure time makes a development root and a team
# certificate (OU "DEVTEAM001") in the build tree, never in the sources, and
# the project's own clients are signed with it.
set(VESK_TRUST_ROOT "" CACHE FILEPATH "PEM trust root for caller signatures")
set(VESK_TEAM_ID "" CACHE STRING "Team identifier (the signer certificate's OU)")
set(VESK_SIGNING_KEY "" CACHE FILEPATH "PEM key that signs the project's clients")
set(VESK_SIGNING_CERT "" CACHE FILEPATH "PEM certificate that signs the project's clients")

set(VESK_IDENTITY_DIR ${CMAKE_BINARY_DIR}/identity)

if(VESK_TRUST_ROOT STREQUAL "" OR VESK_TEAM_ID STREQUAL "")
  find_program(OPENSSL_CLI openssl REQUIRED)
  file(MAKE_DIRECTORY ${VESK_IDENTITY_DIR})
  set(_dir ${VESK_IDENTITY_DIR})
  if(NOT EXISTS ${_dir}/team.pem)
    file(WRITE ${_dir}/team.ext
      "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    execute_process(
      COMMAND ${OPENSSL_CLI} req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes
              -keyout ${_dir}/root.key -out ${_dir}/root.pem -days 3650
              -subj "/O=Vesk Development/CN=Vesk Development Root"
              -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign"
      RESULT_VARIABLE _rc1 OUTPUT_QUIET ERROR_QUIET)
    execute_process(
      COMMAND ${OPENSSL_CLI} req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes
              -keyout ${_dir}/team.key -out ${_dir}/team.csr
              -subj "/O=Vesk Development/OU=DEVTEAM001/CN=Vesk Development Signing"
      RESULT_VARIABLE _rc2 OUTPUT_QUIET ERROR_QUIET)
    execute_process(
      COMMAND ${OPENSSL_CLI} x509 -req -in ${_dir}/team.csr -CA ${_dir}/root.pem
              -CAkey ${_dir}/root.key -CAcreateserial -out ${_dir}/team.pem -days 3650
              -extfile ${_dir}/team.ext
      RESULT_VARIABLE _rc3 OUTPUT_QUIET ERROR_QUIET)
    if(NOT _rc1 EQUAL 0 OR NOT _rc2 EQUAL 0 OR NOT _rc3 EQUAL 0)
      file(REMOVE ${_dir}/team.pem)
      message(FATAL_ERROR "could not create the development signing identity")
    endif()
  endif()
  set(VESK_TRUST_ROOT ${_dir}/root.pem)
  set(VESK_TEAM_ID "DEVTEAM001")
  set(VESK_SIGNING_KEY ${_dir}/team.key)
  set(VESK_SIGNING_CERT ${_dir}/team.pem)
  set(VESK_DEV_ROOT_KEY ${_dir}/root.key)
  message(STATUS "Signing with the development identity (team DEVTEAM001)")
endif()

file(READ ${VESK_TRUST_ROOT} VESK_TRUST_ROOT_PEM)
configure_file(${CMAKE_CURRENT_LIST_DIR}/VeskIdentity.hpp.in
               ${CMAKE_BINARY_DIR}/generated/VeskIdentity.hpp @ONLY)

# Signs a target's executable in place after every link. It is stripped
# first: a signed program is never changed again, by the package either.
function(vesk_sign_target target)
  if(VESK_SIGNING_KEY STREQUAL "" OR VESK_SIGNING_CERT STREQUAL "")
    return()
  endif()
  add_dependencies(${target} vesk-codesign)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note $<TARGET_FILE:${target}>
    COMMAND $<TARGET_FILE:vesk-codesign> sign --key ${VESK_SIGNING_KEY}
            --cert ${VESK_SIGNING_CERT} $<TARGET_FILE:${target}>
    COMMENT "Signing ${target}" VERBATIM)
endfunction()
