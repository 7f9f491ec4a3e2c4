# Shared settings for every target of the project.

# Warnings and sanitizers, scoped to the target.
function(quillane_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(QUILLANE_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  get_target_property(type ${target} TYPE)
  if(QUILLANE_MIMALLOC AND type STREQUAL "EXECUTABLE")
    # Named on the program itself, ahead of the C library, so that its malloc is the one
    # every library in the process uses; kept even though no symbol is called directly.
    target_link_options(${target} PRIVATE LINKER:--push-state,--no-as-needed
      $<TARGET_LINKER_FILE:mimalloc> LINKER:--pop-state)
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
