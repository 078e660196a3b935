# A control library's export table, from the one list of entry points in
# Source/DravInterface.h (its TCS_ENTRY_POINTS lines), read at configure time:
#
#   drav_exports(target MODULE name [OMIT entry...])
#
# On Windows a .def naming the module `name` and the exports, in the list's
# order; on native a version script that keeps them global and hides every
# other symbol. Both are written under the target's build folder (drav-exports/)
# on both builds, so that what either build would export can be checked;
# each build links with its own. OMIT leaves entries out (the simulator's
# variants); an omitted name that is not in the list stops the configuration.
# Editing the header configures the tree again.
#
# Every file written is recorded for the test of the generated export tables
# (Tests/CheckDravExports.cmake): DRAV_EXPORT_FILES, "target|module|def|map|omitted,..."
# per file.
include_guard(GLOBAL)

# The header, as a global property: the functions are called from any folder.
get_filename_component(header ${CMAKE_CURRENT_LIST_DIR}/../Source/DravInterface.h ABSOLUTE)
set_property(GLOBAL PROPERTY DRAV_INTERFACE_HEADER ${header})

# drav_declared_exports(out-var): the entry points, in order.
function(drav_declared_exports out)
  get_property(DRAV_INTERFACE_HEADER GLOBAL PROPERTY DRAV_INTERFACE_HEADER)
  file(READ ${DRAV_INTERFACE_HEADER} text)
  # The macro's definition: its first line and every continued one.
  string(REGEX MATCH "#define TCS_ENTRY_POINTS\\(X\\)[^\n]*\\\\\n([^\n]*\\\\\n)*[^\n]*" block "${text}")
  if(NOT block)
    message(FATAL_ERROR "${DRAV_INTERFACE_HEADER}: no TCS_ENTRY_POINTS(X) definition")
  endif()
  string(REGEX MATCHALL "X\\([ \t]*[A-Za-z_][A-Za-z0-9_]*[ \t]*," entries "${block}")
  list(TRANSFORM entries REPLACE "^X\\([ \t]*([A-Za-z0-9_]+)[ \t]*,$" "\\1")
  if(NOT entries)
    message(FATAL_ERROR "${DRAV_INTERFACE_HEADER}: TCS_ENTRY_POINTS(X) lists no entry point")
  endif()
  set(${out} ${entries} PARENT_SCOPE)
endfunction()

function(drav_exports target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "MODULE" "OMIT")
  if(NOT arg_MODULE OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "drav_exports(${target} MODULE name [OMIT entry...])")
  endif()
  get_property(DRAV_INTERFACE_HEADER GLOBAL PROPERTY DRAV_INTERFACE_HEADER)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${DRAV_INTERFACE_HEADER})
  drav_declared_exports(exports)
  foreach(entry IN LISTS arg_OMIT)
    list(FIND exports ${entry} at)
    if(at EQUAL -1)
      message(FATAL_ERROR "drav_exports(${target}): ${entry} is not an entry point of ${DRAV_INTERFACE_HEADER}")
    endif()
  endforeach()
  if(arg_OMIT)
    list(REMOVE_ITEM exports ${arg_OMIT})
  endif()

  set(folder ${CMAKE_CURRENT_BINARY_DIR}/drav-exports)
  list(JOIN exports "\n    " lines)
  file(CONFIGURE OUTPUT ${folder}/${target}.def
       CONTENT "LIBRARY \"${arg_MODULE}\"\nEXPORTS\n    ${lines}\n")
  list(JOIN exports "; " globals)
  file(CONFIGURE OUTPUT ${folder}/${target}.map
       CONTENT "{ global: ${globals}; local: *; };\n")
  if(WIN32)
    # Undecorated names, the module named as the library is known.
    target_sources(${target} PRIVATE ${folder}/${target}.def)
  else()
    target_compile_options(${target} PRIVATE -fvisibility=hidden)
    target_link_options(${target} PRIVATE -Wl,--version-script=${folder}/${target}.map)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${folder}/${target}.map)
  endif()
  list(JOIN arg_OMIT "," omitted)
  set_property(GLOBAL APPEND PROPERTY DRAV_EXPORT_FILES
               "${target}|${arg_MODULE}|${folder}/${target}.def|${folder}/${target}.map|${omitted}")
endfunction()
