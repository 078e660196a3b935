# Reads the built plug-in's export and import tables and fails unless the
# module is named telescope.plug, exports DoOperation and nothing else, and
# imports from Windows system DLLs only.
#   cmake -DOBJDUMP=<objdump> -DPLUGIN=<telescope.plug> -P CheckPluginImage.cmake
cmake_policy(SET CMP0057 NEW)
execute_process(COMMAND ${OBJDUMP} -p ${PLUGIN} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PLUGIN} failed (${rc})")
endif()
set(failures "")

if(NOT dump MATCHES "file format pei-i386")
  string(APPEND failures "not a 32-bit PE image\n")
endif()

# The module name recorded in the export directory.
if(NOT dump MATCHES "The Export Tables")
  string(APPEND failures "no export table\n")
endif()
string(REGEX MATCH "\nName[ \t]+[0-9a-fA-F]+ ([^\n]*)\n" _ "${dump}")
if(NOT CMAKE_MATCH_1 STREQUAL "telescope.plug")
  string(APPEND failures "module name is '${CMAKE_MATCH_1}', not telescope.plug\n")
endif()

# Every entry of the export address table, and every exported name.
string(REGEX MATCH "Export Address Table[ \t]+([0-9a-fA-F]+)\n" _ "${dump}")
if(NOT CMAKE_MATCH_1 MATCHES "^0*1$")
  string(APPEND failures "export address table holds ${CMAKE_MATCH_1} entries, not 1\n")
endif()
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[[^\n]*\n)*)" _ "${dump}")
string(REGEX MATCHALL "\\][ \t]+[^ \t\n]+" names "${CMAKE_MATCH_1}")
list(TRANSFORM names REPLACE "^\\][ \t]+" "")
if(NOT names STREQUAL "DoOperation")
  string(APPEND failures "exported names are '${names}', not DoOperation alone\n")
endif()

# Imports: system DLLs only (no mingw runtime DLLs, no control library).
set(system_dlls KERNEL32.DLL USER32.DLL MSVCRT.DLL SHELL32.DLL ADVAPI32.DLL GDI32.DLL NTDLL.DLL)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  string(APPEND failures "no imports found\n")
endif()
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOUPPER "${dll}" upper)
  if(NOT upper IN_LIST system_dlls)
    string(APPEND failures "imports ${dll}, which is not a Windows system DLL\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${PLUGIN}:\n${failures}")
endif()
message(STATUS "${PLUGIN}: telescope.plug, one export DoOperation, imports: ${imports}")
