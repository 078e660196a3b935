# Checks every control library's generated .def against the entry points as
# the compiler reads them out of DravInterface.h (less the omitted ones), and
# the built library's exports against the same list: a .def that lost, added
# or reordered an entry or names another module, or a library (linked with the
# .def or with the version script) that exports anything else, fails.
#   cmake -DCXX=<compiler> -DSOURCE=<Source folder> -DWORK=<folder> -DNM=<nm> -DOBJDUMP=<objdump>
#         "-DROWS=<target|module|def|map|omitted,...|built file;...>" -P CheckDravExports.cmake
cmake_minimum_required(VERSION 3.20)

# The declared list, expanded by the preprocessor itself.
file(WRITE ${WORK}/drav-exports-probe.cpp
     "#include \"DravInterface.h\"\n#define DRAV_PROBE(name, params) @name@\nTCS_ENTRY_POINTS(DRAV_PROBE)\n")
execute_process(COMMAND ${CXX} -E -P -x c++ -I${SOURCE} ${WORK}/drav-exports-probe.cpp
                OUTPUT_VARIABLE expanded RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${CXX} -E on DravInterface.h failed (${rc})")
endif()
string(REGEX MATCHALL "@[A-Za-z0-9_]+@" declared "${expanded}")
list(TRANSFORM declared REPLACE "@" "")
list(LENGTH declared count)
if(count EQUAL 0)
  message(FATAL_ERROR "DravInterface.h declares no entry point")
endif()

set(failures "")
foreach(row IN LISTS ROWS)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 target)
  list(GET fields 1 module)
  list(GET fields 2 def)
  list(GET fields 4 omitted)
  list(GET fields 5 built)
  string(REPLACE "," ";" omitted "${omitted}")
  set(expected ${declared})
  if(omitted)
    list(REMOVE_ITEM expected ${omitted})
  endif()

  file(READ ${def} text)
  set(want "LIBRARY \"${module}\"\nEXPORTS\n")
  foreach(name IN LISTS expected)
    string(APPEND want "    ${name}\n")
  endforeach()
  if(NOT text STREQUAL want)
    string(APPEND failures "${target}: ${def} is\n${text}not\n${want}")
  endif()

  # What the library built on this build exports, in any order.
  if(OBJDUMP)
    execute_process(COMMAND ${OBJDUMP} -p ${built} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
    string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[[^\n]*\n)*)" _ "${dump}")
    string(REGEX REPLACE "[ \t]+\\[[ 0-9]+\\][ \t]+([^ \t\n]+)\n" "\\1;" exported "${CMAKE_MATCH_1}")
  else()
    execute_process(COMMAND ${NM} -D --defined-only ${built} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
    string(REGEX MATCHALL "[^ \n]+\n" exported "${dump}")
    list(TRANSFORM exported STRIP)
  endif()
  if(NOT rc EQUAL 0)
    string(APPEND failures "${target}: reading ${built}'s exports failed (${rc})\n")
  endif()
  list(REMOVE_ITEM exported "")
  list(SORT exported)
  set(sorted ${expected})
  list(SORT sorted)
  if(NOT exported STREQUAL sorted)
    string(APPEND failures "${target}: ${built} exports '${exported}', not '${sorted}'\n")
  endif()
  list(LENGTH expected n)
  message(STATUS "${target}: ${n} exports")
endforeach()
if(NOT ROWS)
  string(APPEND failures "no control library generates its exports\n")
endif()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
