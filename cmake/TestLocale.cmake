# use_decimal_comma_locale(target): the native test target gets
# TEST_LOCALE_DIR, a folder holding a locale with a decimal comma
# (fr_FR.UTF-8), generated once in the build tree since a machine need not
# have one installed (its sources come with Debian's locales). Nothing on
# Windows, whose tests pick their locale by name.
function(use_decimal_comma_locale target)
  if(WIN32)
    return()
  endif()
  set(dir ${PROJECT_BINARY_DIR}/locale)
  if(NOT TARGET test_locale)
    add_custom_command(OUTPUT ${dir}/fr_FR.UTF-8/LC_NUMERIC
      COMMAND sh -c "mkdir -p '${dir}' && { localedef -i fr_FR -f UTF-8 '${dir}/fr_FR.UTF-8' || test -f '${dir}/fr_FR.UTF-8/LC_NUMERIC'; }"
      VERBATIM)
    add_custom_target(test_locale DEPENDS ${dir}/fr_FR.UTF-8/LC_NUMERIC)
  endif()
  add_dependencies(${target} test_locale)
  target_compile_definitions(${target} PRIVATE TEST_LOCALE_DIR="${dir}")
endfunction()
