# What Setup says of the package, in one place. makensis takes each value as
# a define (setup/CMakeLists.txt), the signatures name the package with it
# (cmake/signing.cmake), and the winget manifests describe the installer
# with the same values (setup/winget.cmake). The Windows build reads this
# file too: Setup's own programs (setup/remove/, setup/user/) take their
# version resources and registry names from it.

# The name, version and maker of the Apps & features entry (DisplayName,
# DisplayVersion, Publisher), of Setup's title and of its version resource.
set(PACKAGE_NAME "Lindorian Package")
set(PACKAGE_VERSION "2.10")
set(PACKAGE_PUBLISHER "Krelmo Lindorian Workshop")
# The Apps & features entry's key name under ...\CurrentVersion\Uninstall,
# which winget and device management take for the product code.
set(PACKAGE_ENTRY_KEY "Lindorian")
# The version in the form version resources take it, major and minor.
if(NOT PACKAGE_VERSION MATCHES "^([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "PACKAGE_VERSION must be MAJOR.MINOR; it is '${PACKAGE_VERSION}'")
endif()
set(PACKAGE_VERSION_MAJOR "${CMAKE_MATCH_1}")
set(PACKAGE_VERSION_MINOR "${CMAKE_MATCH_2}")

# An all-users installation's Active Setup component, under
# HKLM\Software\Microsoft\Active Setup\Installed Components: its key name,
# and the Version that Windows compares, part by part, with the copy in
# each user's HKCU. The version's numbers separated by commas ("2,10"):
# each release has a higher one, so every user's per-user step runs again
# after an upgrade.
set(PACKAGE_ACTIVE_SETUP_ID "Krelmo.Lindorian")
string(REPLACE "." "," PACKAGE_ACTIVE_SETUP_VERSION "${PACKAGE_VERSION}")
# Where the per-user step keeps its record in each user's hive (HKCU), and
# the value that holds the string it gave InstallLayoutOrTip.
set(PACKAGE_USER_KEY "Software\\Krelmo\\Lindorian")
set(PACKAGE_USER_RECORD "InstalledLayoutOrTip")

# The same values as C++ string literals, for Setup's programs and the host
# tests that build their sources: the entry's key path in the 32-bit view,
# the component's key name, and the per-user record's key and value.
function(package_literal out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()
package_literal(entry_path "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\${PACKAGE_ENTRY_KEY}")
package_literal(active_setup_id "${PACKAGE_ACTIVE_SETUP_ID}")
package_literal(user_key "${PACKAGE_USER_KEY}")
package_literal(user_record "${PACKAGE_USER_RECORD}")
set(PACKAGE_CXX_DEFINITIONS
  "$<$<COMPILE_LANGUAGE:CXX>:PACKAGE_ENTRY_PATH=${entry_path}>"
  "$<$<COMPILE_LANGUAGE:CXX>:PACKAGE_ACTIVE_SETUP_ID=${active_setup_id}>"
  "$<$<COMPILE_LANGUAGE:CXX>:PACKAGE_USER_KEY=${user_key}>"
  "$<$<COMPILE_LANGUAGE:CXX>:PACKAGE_USER_RECORD=${user_record}>")

# What the version resources of Setup's own programs take from here, as
# windres defines: the version's two numbers, and the name and maker as
# bare text, which the .rc files make into strings with the preprocessor
# (windres hands its defines to the preprocessor through a shell, which
# would take any quotes).
set(PACKAGE_RESOURCE_DEFINITIONS
  "$<$<COMPILE_LANGUAGE:RC>:PACKAGE_VERSION_MAJOR=${PACKAGE_VERSION_MAJOR}>"
  "$<$<COMPILE_LANGUAGE:RC>:PACKAGE_VERSION_MINOR=${PACKAGE_VERSION_MINOR}>"
  "$<$<COMPILE_LANGUAGE:RC>:PACKAGE_NAME=${PACKAGE_NAME}>"
  "$<$<COMPILE_LANGUAGE:RC>:PACKAGE_PUBLISHER=${PACKAGE_PUBLISHER}>")

# Setup's exit codes other than 0. A restart completes the installation;
# Setup refused or failed; and NSIS's own code when the user cancels the
# pages, which the script does not set.
set(SETUP_EXIT_RESTART 3010)
set(SETUP_EXIT_FAILED 2)
set(SETUP_EXIT_CANCELLED 1)
