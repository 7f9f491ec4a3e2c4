# Translations of the programs' windows with Qt's tools: each component keeps its sources
# in translations/<catalog>_<language>.ts, compiled to .qm at build time.

find_package(Qt6 6.4 REQUIRED COMPONENTS LinguistTools)

# The languages shipped, besides English, the language of the source texts.
set(QUILLANE_LANGUAGES de fr)

# How lupdate reads our sources: headers included from the project root, as the compiler
# does; no line numbers in the .ts files, so they change only when a text does.
set(QUILLANE_LUPDATE_OPTIONS -silent -locations none -extensions cpp,h
  -I ${PROJECT_SOURCE_DIR} -I ${PROJECT_SOURCE_DIR}/platform)

# quillane_add_translations(<target> CATALOG <name> OUTPUT_DIRECTORY <dir>
#                           SOURCE_DIRECTORIES <dir>...)
# Compiles translations/<name>_<language>.ts of the current source folder into
# <dir>/<name>_<language>.qm whenever <target> is built, and sets <name>_QM_FILES in the
# caller's scope. The "update_translations" target refreshes the .ts files from the texts
# marked in the source folders (lupdate); the test "translations_<name>" fails while any
# of them is unfinished or vanished.
function(quillane_add_translations target)
  cmake_parse_arguments(ARG "" "CATALOG;OUTPUT_DIRECTORY" "SOURCE_DIRECTORIES" ${ARGN})
  set(ts_files)
  foreach(language IN LISTS QUILLANE_LANGUAGES)
    list(APPEND ts_files ${CMAKE_CURRENT_SOURCE_DIR}/translations/${ARG_CATALOG}_${language}.ts)
  endforeach()
  set_source_files_properties(${ts_files} PROPERTIES OUTPUT_LOCATION ${ARG_OUTPUT_DIRECTORY})
  qt_add_lrelease(${target} TS_FILES ${ts_files} QM_FILES_OUTPUT_VARIABLE qm_files
    OPTIONS -silent)
  set(${ARG_CATALOG}_QM_FILES ${qm_files} PARENT_SCOPE)

  set(source_directories)
  foreach(directory IN LISTS ARG_SOURCE_DIRECTORIES)
    get_filename_component(directory ${directory} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND source_directories ${directory})
  endforeach()
  if(NOT TARGET update_translations)
    add_custom_target(update_translations)
  endif()
  add_custom_target(${ARG_CATALOG}_lupdate
    COMMAND Qt6::lupdate ${QUILLANE_LUPDATE_OPTIONS} -no-obsolete
      ${source_directories} -ts ${ts_files}
    VERBATIM)
  add_dependencies(update_translations ${ARG_CATALOG}_lupdate)

  set_property(GLOBAL APPEND PROPERTY QUILLANE_TRANSLATION_CATALOGS ${ARG_CATALOG})
  set_property(GLOBAL PROPERTY QUILLANE_TRANSLATION_${ARG_CATALOG}_SOURCES ${source_directories})
  set_property(GLOBAL PROPERTY QUILLANE_TRANSLATION_${ARG_CATALOG}_TS ${ts_files})
endfunction()
