# setup_program(TARGET ENTRY): the build of one of Setup's programs, which
# like uninstall.exe link no C runtime, only the system libraries they
# call: the compile and link options, the entry routine ENTRY (its
# decorated name), and the package's values (cmake/package.cmake) as
# string literals for the C++ code and as defines for the version resource.
function(setup_program target entry)
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                             "${PROJECT_SOURCE_DIR}/setup")
  # No loop may turn into a call of memset or memcpy, and no zeroed buffer
  # may go into .data (see setup/helper).
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion
      -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-ident
      -fno-tree-loop-distribute-patterns -ffunction-sections>)
  # No link time in the header, so that every build of a commit is the same.
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles -s
    -Wl,-e,${entry}
    -Wl,--subsystem,windows
    -Wl,--no-insert-timestamp
    -Wl,--gc-sections)
  target_compile_definitions(${target} PRIVATE ${PACKAGE_CXX_DEFINITIONS}
                             ${PACKAGE_RESOURCE_DEFINITIONS})
endfunction()
