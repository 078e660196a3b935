# Version resources for the Windows files we ship. The version is the
# project's (project(... VERSION x.y.z)); the copyright line is LICENSE's.
#
#   telescope_version_resource(TARGET DESCRIPTION "text")
#
# gives TARGET a VERSIONINFO resource: file and product version, product name,
# description, copyright, company and original file name. It adds no import.
# The description is kept in the target's property TELESCOPE_DESCRIPTION.
# Nothing happens on other platforms.
if(WIN32)
  enable_language(RC)
endif()

file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE TELESCOPE_COPYRIGHT REGEX "^Copyright" LIMIT_COUNT 1)
set(TELESCOPE_PRODUCT "telescope.plug")
set(TELESCOPE_COMPANY "the telescope.plug authors")

function(telescope_version_resource target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION" "")
  if(NOT WIN32)
    return()
  endif()
  if(NOT arg_DESCRIPTION)
    message(FATAL_ERROR "telescope_version_resource(${target}): DESCRIPTION is missing")
  endif()
  foreach(part MAJOR MINOR PATCH)
    set(${part} ${PROJECT_VERSION_${part}})
    if(NOT ${part})
      set(${part} 0)
    endif()
  endforeach()
  set(DESCRIPTION "${arg_DESCRIPTION}")
  set(rc ${PROJECT_BINARY_DIR}/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc}.in @ONLY)
  # The original file name is known only once the target is generated.
  file(GENERATE OUTPUT ${rc} INPUT ${rc}.in)
  target_sources(${target} PRIVATE ${rc})
  set_property(TARGET ${target} PROPERTY TELESCOPE_DESCRIPTION "${arg_DESCRIPTION}")
endfunction()
