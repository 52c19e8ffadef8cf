# The signed release, made when a certificate is given (cmake/signing.cmake),
# in dist/signed/ laid out as dist/: every PE file the installer packs,
# signed, the other files it packs, copied, and the installer packed from
# them and from signed copies of Setup's own files and of NSIS's plug-ins,
# and signed in turn. The unsigned files in dist/ stay as they are.
#
# The installer is signed after makensis has written it, and with it the
# integrity check's CRC: the certificate table goes after the data the CRC
# covers, and Setup's check skips the header checksum and the security
# directory entry, the two header fields signing changes.

set(signed_dist "${DIST_DIR}/signed")
# Setup's own files and NSIS's plug-ins, signed, and the installer as
# makensis writes it, before signing.
set(signed_stage "${CMAKE_CURRENT_BINARY_DIR}/signed")

set(signed_release "${signed_dist}/lindorian-setup.exe")
foreach(file IN LISTS packed_pe_files)
  sign_pe("${DIST_DIR}/${file}" "${signed_dist}/${file}")
  list(APPEND signed_release "${signed_dist}/${file}")
endforeach()
set(signed_setup_files)
foreach(setup_file IN LISTS setup_pe_files)
  string(REGEX MATCH "^[A-Z_]+" name "${setup_file}")
  string(REGEX REPLACE "^[A-Z_]+=" "" path "${setup_file}")
  get_filename_component(file "${path}" NAME)
  sign_pe("${path}" "${signed_stage}/${file}")
  list(APPEND signed_setup_files "${name}=${signed_stage}/${file}")
endforeach()

# NSIS's plug-ins for an ANSI installer (the script's "Unicode false"), all
# of them signed, so that whichever the script calls is packed signed: Setup
# unpacks them into its plug-ins folder and loads them, and Smart App
# Control blocks an unsigned module it does not know, even in a signed
# program. makensis takes them from this folder before NSIS's own.
execute_process(COMMAND "${MAKENSIS}" -HDRINFO OUTPUT_VARIABLE nsis_info
  COMMAND_ERROR_IS_FATAL ANY)
if(NOT nsis_info MATCHES "NSISDIR=([^,\r\n]+)")
  message(FATAL_ERROR "makensis -HDRINFO names no NSISDIR")
endif()
file(GLOB nsis_plugins "${CMAKE_MATCH_1}/Plugins/x86-ansi/*.dll")
if(NOT nsis_plugins)
  message(FATAL_ERROR "No ANSI plug-ins in ${CMAKE_MATCH_1}/Plugins/x86-ansi")
endif()
set(signed_plugins_folder "${signed_stage}/plugins")
set(signed_plugins)
foreach(plugin IN LISTS nsis_plugins)
  get_filename_component(file "${plugin}" NAME)
  sign_pe("${plugin}" "${signed_plugins_folder}/${file}")
  list(APPEND signed_plugins "${signed_plugins_folder}/${file}")
endforeach()

foreach(file IN LISTS packed_other_files)
  add_custom_command(OUTPUT "${signed_dist}/${file}"
    COMMAND "${CMAKE_COMMAND}" -E copy "${DIST_DIR}/${file}" "${signed_dist}/${file}"
    DEPENDS "${DIST_DIR}/${file}"
    VERBATIM)
  list(APPEND signed_release "${signed_dist}/${file}")
endforeach()

add_installer("${signed_stage}/lindorian-setup.exe" "${signed_dist}" ${signed_setup_files}
  PLUGINS "${signed_plugins_folder}" ${signed_plugins})
sign_pe("${signed_stage}/lindorian-setup.exe" "${signed_dist}/lindorian-setup.exe")

add_custom_target(setup-signed ALL DEPENDS ${signed_release})
add_dependencies(setup-signed windows fonts)
