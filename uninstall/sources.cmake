# The uninstaller's C++ sources, in link order. uninstall.exe is built from
# them (uninstall/CMakeLists.txt), and so is the host tests' copy that runs
# against the Win32 stand-in (tests/win32stub/CMakeLists.txt).
set(UNINSTALL_SOURCES main.cpp paths.cpp keyboard.cpp fonts.cpp office.cpp)
list(TRANSFORM UNINSTALL_SOURCES PREPEND "${CMAKE_CURRENT_LIST_DIR}/")
