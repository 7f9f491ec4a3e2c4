# Shared settings for every target of the project.

# Warnings and sanitizers, scoped to the target.
function(quillane_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(QUILLANE_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# A test program registered with CTest. Every test runs through tests/run-sandboxed.sh:
# a fresh HOME and XDG folders, Qt's offscreen platform, and (with DBUS) a private
# session bus of its own, so no test ever touches the real user's files or bus.
#
#   quillane_add_test(NAME name COMMAND cmd args... [DBUS] [LABELS l...] [TIMEOUT s])
function(quillane_add_test)
  cmake_parse_arguments(ARG "DBUS" "NAME;TIMEOUT" "COMMAND;LABELS" ${ARGN})
  set(runner ${PROJECT_SOURCE_DIR}/tests/run-sandboxed.sh)
  if(ARG_DBUS)
    set(bus --bus)
  else()
    set(bus)
  endif()
  add_test(NAME ${ARG_NAME} COMMAND bash ${runner} ${bus} -- ${ARG_COMMAND})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${ARG_NAME} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    LABELS "${ARG_LABELS}"
    ENVIRONMENT "QUILLANE_BUILD_DIR=${PROJECT_BINARY_DIR};QUILLANE_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
