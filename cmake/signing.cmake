# Authenticode signing of the PE files the package ships, with osslsigncode.
#
# A maintainer turns it on by giving a code-signing certificate and its
# private key. Without them SIGNING is off, sign_pe must not be called, and
# the build has no rule more than an unsigned one: its outputs stay as they
# are. The signed copies are made on the host from the Windows build's
# finished files, so that the unsigned files exist in every build and the
# signed ones can be compared with them.

set(SIGN_CERT "" CACHE FILEPATH
  "Code-signing certificate (PEM, followed by its intermediates); turns signing on")
set(SIGN_KEY "" CACHE FILEPATH "Private key of SIGN_CERT (PEM)")
set(SIGN_KEY_PASSWORD_FILE "" CACHE FILEPATH
  "File whose first line is the password of an encrypted SIGN_KEY")
set(SIGN_TIMESTAMP_URL "" CACHE STRING
  "RFC 3161 time-stamping server for the signatures (needs the network while building)")
# The description Windows shows for a signed file ("Program name" in the
# consent prompt of User Account Control).
set(SIGN_DESCRIPTION "${PACKAGE_NAME}")

set(SIGNING OFF)
if(SIGN_CERT OR SIGN_KEY)
  foreach(pem SIGN_CERT SIGN_KEY)
    if(NOT IS_ABSOLUTE "${${pem}}" OR NOT EXISTS "${${pem}}")
      message(FATAL_ERROR "Signing needs SIGN_CERT and SIGN_KEY, both as absolute paths of "
                          "PEM files; ${pem} is '${${pem}}'")
    endif()
  endforeach()
  if(SIGN_KEY_PASSWORD_FILE AND NOT EXISTS "${SIGN_KEY_PASSWORD_FILE}")
    message(FATAL_ERROR "SIGN_KEY_PASSWORD_FILE '${SIGN_KEY_PASSWORD_FILE}' does not exist")
  endif()
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  set(SIGNING ON)
endif()

# Where the build lists each file it signs, one line "UNSIGNED<tab>SIGNED"
# per file, for the signing test.
set(SIGNED_FILES_LIST "${CMAKE_BINARY_DIR}/signed-files.txt")

# sign_pe(UNSIGNED SIGNED): a rule that writes SIGNED, the signed copy of
# UNSIGNED (SHA-256 digest), and lists the pair in SIGNED_FILES_LIST.
# osslsigncode appends the certificate table and fills in the security
# directory entry and the header checksum, which must cover the table too.
# It writes a file of its own next to SIGNED, renamed once complete: a
# failed signing leaves no SIGNED that the next build would take as made.
function(sign_pe unsigned signed)
  if(NOT SIGNING)
    message(FATAL_ERROR "sign_pe(${signed}) without a certificate")
  endif()
  set(options)
  if(SIGN_KEY_PASSWORD_FILE)
    # Without it, OpenSSL would ask for the password on the terminal.
    list(APPEND options -readpass "${SIGN_KEY_PASSWORD_FILE}")
  endif()
  if(SIGN_TIMESTAMP_URL)
    # A server that cannot be reached fails the signing, and the build.
    list(APPEND options -ts "${SIGN_TIMESTAMP_URL}")
  endif()
  get_filename_component(folder "${signed}" DIRECTORY)
  add_custom_command(OUTPUT "${signed}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
    COMMAND "${CMAKE_COMMAND}" -E rm -f "${signed}.part"
    COMMAND "${OSSLSIGNCODE}" sign -certs "${SIGN_CERT}" -key "${SIGN_KEY}" -h sha256
            -n "${SIGN_DESCRIPTION}" ${options} -in "${unsigned}" -out "${signed}.part"
    COMMAND "${CMAKE_COMMAND}" -E rename "${signed}.part" "${signed}"
    DEPENDS "${unsigned}" "${SIGN_CERT}" "${SIGN_KEY}" ${SIGN_KEY_PASSWORD_FILE}
    COMMENT "Signing ${signed}"
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY SIGNED_FILE_PAIRS "${unsigned}\t${signed}")
endfunction()

# The list is written once every folder has added its files.
function(_write_signed_files_list)
  get_property(pairs GLOBAL PROPERTY SIGNED_FILE_PAIRS)
  list(JOIN pairs "\n" lines)
  file(WRITE "${SIGNED_FILES_LIST}" "${lines}\n")
endfunction()
if(SIGNING)
  cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL _write_signed_files_list)
else()
  file(REMOVE "${SIGNED_FILES_LIST}")
endif()
