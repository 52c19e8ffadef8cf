# The winget manifests of a release, written to dist/winget/ when the
# address the installer will be published at is given (WINGET_INSTALLER_URL).
# They describe the installer to publish: the signed one in a signed build.
# Everything in them comes from what the build already knows: the package's
# name, version, maker and entry key name and Setup's exit codes
# (cmake/package.cmake), and the installer's SHA-256, taken from the file.

# The package's identifier in the community repository, and what its
# default locale says beyond the name and the maker.
set(winget_identifier "Krelmo.Lindorian")
set(winget_license "Proprietary; the fonts: SIL Open Font License 1.1")
string(CONCAT winget_short_description
  "A keyboard layout for a Latin-script romanization that types its diacritics "
  "as combining marks after the letter, with two fonts that show them.")

if(SIGNING)
  set(winget_installer "${DIST_DIR}/signed/lindorian-setup.exe")
  set(winget_after setup-signed)
else()
  set(winget_installer "${setup_exe}")
  set(winget_after setup)
endif()

set(winget_dir "${DIST_DIR}/winget")
set(winget_manifests "${winget_dir}/${winget_identifier}.yaml"
                     "${winget_dir}/${winget_identifier}.installer.yaml"
                     "${winget_dir}/${winget_identifier}.locale.en-US.yaml")
# What winget tells the user for each exit code: the installation is done
# once Windows restarts; the user cancelled Setup's pages; and Setup
# stopped, naming what it could not write (under winget it runs elevated on
# Windows 10 or 11, so this is no refusal of the system).
set(winget_return_codes
  "ReturnCode=${SETUP_EXIT_RESTART}:rebootRequiredToFinish"
  "ReturnCode=${SETUP_EXIT_CANCELLED}:cancelledByUser"
  "ReturnCode=${SETUP_EXIT_FAILED}:contactSupport")

add_custom_command(OUTPUT ${winget_manifests}
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${winget_dir}"
  COMMAND "${SYSTEM_PYTHON3}" "${CMAKE_CURRENT_SOURCE_DIR}/winget-manifests.py"
          "${winget_dir}" "${winget_installer}"
          "Identifier=${winget_identifier}" "Version=${PACKAGE_VERSION}"
          "Name=${PACKAGE_NAME}" "Publisher=${PACKAGE_PUBLISHER}"
          "EntryKey=${PACKAGE_ENTRY_KEY}" "Url=${WINGET_INSTALLER_URL}"
          "PackageUrl=${WINGET_PACKAGE_URL}" "License=${winget_license}"
          "ShortDescription=${winget_short_description}" ${winget_return_codes}
  DEPENDS "${winget_installer}" "${CMAKE_CURRENT_SOURCE_DIR}/winget-manifests.py"
  COMMENT "Writing the winget manifests for ${winget_installer}"
  VERBATIM)
add_custom_target(winget ALL DEPENDS ${winget_manifests})
add_dependencies(winget ${winget_after})
