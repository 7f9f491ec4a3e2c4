# The update agent's runtime: what a Mail host has, and all the agent may load from outside
# its own bundle. The agent arrives inside a plug-in and must start on every machine that
# runs Mail; a library missing there stops every later update from reaching that user.
#
# QUILLANE_AGENT_RUNTIME_LIBRARIES: the shared objects (sonames) that the agent and the
#   libraries in its bundle may name (ELF NEEDED) outside the bundle. What these load in turn
#   comes with their Debian packages.
# QUILLANE_AGENT_RUNTIME_PACKAGES: the Debian 12 packages that provide them, for a machine
#   (or a clean root) that is to run the agent.
#
# After each link of the agent, the build checks its bundle against the list
# (cmake/check_agent_runtime.cmake) and fails when anything else is needed.

set(QUILLANE_AGENT_RUNTIME_LIBRARIES
  # Qt 6 base
  libQt6Core.so.6 libQt6Gui.so.6 libQt6Widgets.so.6 libQt6DBus.so.6 libQt6Network.so.6
  # GLib
  libglib-2.0.so.0 libgobject-2.0.so.0 libgio-2.0.so.0
  # Signatures, archives, compression
  libsodium.so.23 libarchive.so.13 libzstd.so.1
  # The C and C++ runtimes
  libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1 ld-linux-x86-64.so.2)

set(QUILLANE_AGENT_RUNTIME_PACKAGES
  libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 libqt6network6
  libglib2.0-0
  libsodium23 libarchive13 libzstd1
  libc6 libstdc++6 libgcc-s1)

# quillane_check_agent_runtime(TARGET BUNDLE): after TARGET (the agent) is linked and its
# frameworks copied, fails the build when the bundle needs a library outside the list.
# Sanitizer builds are never shipped and bring their own runtimes: not checked.
function(quillane_check_agent_runtime target bundle)
  if(QUILLANE_SANITIZE)
    return()
  endif()
  if(NOT CMAKE_READELF)
    message(FATAL_ERROR "readelf not found: it is needed to check the update agent's runtime libraries")
  endif()
  string(JOIN "|" allowed ${QUILLANE_AGENT_RUNTIME_LIBRARIES})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND}
      -D "READELF=${CMAKE_READELF}"
      -D "PROGRAM=$<TARGET_FILE:${target}>"
      -D "FRAMEWORKS_DIR=${bundle}/Contents/Frameworks"
      -D "ALLOWED=${allowed}"
      -P ${PROJECT_SOURCE_DIR}/cmake/check_agent_runtime.cmake
    COMMENT "Checking that the update agent needs only its runtime list (cmake/AgentRuntime.cmake)"
    VERBATIM)
endfunction()
