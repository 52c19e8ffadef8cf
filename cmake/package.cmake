# What Setup says of the package, in one place. makensis takes each value as
# a define (setup/CMakeLists.txt), the signatures name the package with it
# (cmake/signing.cmake), and the winget manifests describe the installer
# with the same values (setup/winget.cmake).

# The name, version and maker of the Apps & features entry (DisplayName,
# DisplayVersion, Publisher), of Setup's title and of its version resource.
set(PACKAGE_NAME "Lindorian Package")
set(PACKAGE_VERSION "2.10")
set(PACKAGE_PUBLISHER "Krelmo Lindorian Workshop")
# The Apps & features entry's key name under ...\CurrentVersion\Uninstall,
# which winget and device management take for the product code.
set(PACKAGE_ENTRY_KEY "Lindorian")

# Setup's exit codes other than 0. A restart completes the installation;
# Setup refused or failed; and NSIS's own code when the user cancels the
# pages, which the script does not set.
set(SETUP_EXIT_RESTART 3010)
set(SETUP_EXIT_FAILED 2)
set(SETUP_EXIT_CANCELLED 1)
