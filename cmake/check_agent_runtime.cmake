# Walks the ELF NEEDED entries from the agent's program through the libraries of its bundle
# and fails when one names a library that is neither in the bundle nor in the runtime list.
#   cmake -D READELF=... -D PROGRAM=... -D FRAMEWORKS_DIR=... -D "ALLOWED=a.so.1|b.so.2" -P check_agent_runtime.cmake
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" allowed "${ALLOWED}")

function(needed_of file out)
  execute_process(COMMAND "${READELF}" -d "${file}"
    OUTPUT_VARIABLE dynamic ERROR_VARIABLE problem RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "readelf -d ${file} failed: ${problem}")
  endif()
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]+\\]" lines "${dynamic}")
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" name "${line}")
    list(APPEND names "${name}")
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

set(pending "${PROGRAM}")
set(visited)
set(outside)
while(pending)
  list(POP_FRONT pending file)
  list(APPEND visited "${file}")
  needed_of("${file}" names)
  foreach(name IN LISTS names)
    if(EXISTS "${FRAMEWORKS_DIR}/${name}")
      if(NOT "${FRAMEWORKS_DIR}/${name}" IN_LIST visited AND NOT "${FRAMEWORKS_DIR}/${name}" IN_LIST pending)
        list(APPEND pending "${FRAMEWORKS_DIR}/${name}")
      endif()
    elseif(NOT name IN_LIST allowed)
      get_filename_component(needer "${file}" NAME)
      list(APPEND outside "${name} (needed by ${needer})")
    endif()
  endforeach()
endwhile()

if(outside)
  list(REMOVE_DUPLICATES outside)
  list(JOIN outside "\n  " listed)
  message(FATAL_ERROR "The update agent's bundle needs libraries that are not part of its runtime "
    "(cmake/AgentRuntime.cmake), which a Mail host may not have:\n  ${listed}\n"
    "Drop the dependency, or carry the library in the bundle.")
endif()
