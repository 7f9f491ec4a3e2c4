# Copies shared libraries into an application bundle's Frameworks folder under the names the
# loader asks for (their sonames), and points each copy's search path at its own folder so a
# copied bundle never reaches back into the build tree.
#   cmake -D FRAMEWORKS_DIR=... -D "LIBRARIES=/path/libA.so.1.0=libA.so.1|..." -P copy_frameworks.cmake
file(MAKE_DIRECTORY "${FRAMEWORKS_DIR}")
string(REPLACE "|" ";" libraries "${LIBRARIES}")
foreach(entry IN LISTS libraries)
  string(FIND "${entry}" "=" separator REVERSE)
  string(SUBSTRING "${entry}" 0 ${separator} library)
  math(EXPR name_start "${separator} + 1")
  string(SUBSTRING "${entry}" ${name_start} -1 name)
  set(copy "${FRAMEWORKS_DIR}/${name}")
  # Replace the copy whole: a program already running from this bundle keeps its old one.
  file(COPY_FILE "${library}" "${copy}.part")
  unset(runpath)  # READ_ELF leaves a variable alone when the entry is absent
  unset(rpath)
  file(READ_ELF "${copy}.part" RUNPATH runpath RPATH rpath)
  if(runpath OR rpath)
    file(RPATH_SET FILE "${copy}.part" NEW_RPATH "$ORIGIN")
  endif()
  file(RENAME "${copy}.part" "${copy}")
endforeach()
