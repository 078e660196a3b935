# Runs plughost as a user would and checks its exit status and output.
#   -DHOST=exe [-DEMULATOR=wrapper] -DWORK=folder -DARGS=a;b [-DDRAV=dll -DDRIVE_C=folder]
#   -DSTATUS=n -DEXPECT=regex;regex [-DREJECT=regex]
# With DRAV, the control library is installed at the fixed path under DRIVE_C
# (the Wine prefix's drive_c, or the native build's TELESCOPE_DRIVE_C).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
# A session ends within a minute; under Wine, plus what starting a Wine
# process costs on this machine (its prefix made first, so that drive_c exists).
set(bound 60)
if(EMULATOR)
  execute_process(COMMAND ${EMULATOR} --start-cost ${HOST} OUTPUT_VARIABLE cost OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "[.].*" "" whole "${cost}")
  math(EXPR bound "60 + 2 * (${whole} + 1)")
endif()
if(DRAV)
  file(MAKE_DIRECTORY "${DRIVE_C}/Program Files/Common Files/System")
  file(COPY_FILE ${DRAV} "${DRIVE_C}/Program Files/Common Files/System/DRAV.dll" ONLY_IF_DIFFERENT)
endif()
set(ENV{TELESCOPE_DRIVE_C} ${DRIVE_C})
set(ENV{DRAV_SIM_SCENARIO} "points=1,rate=100")
execute_process(COMMAND ${EMULATOR} ${HOST} ${ARGS} WORKING_DIRECTORY ${WORK} TIMEOUT ${bound}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(all "${out}${err}")
if(NOT status EQUAL STATUS)
  message(FATAL_ERROR "plughost exited with ${status}, expected ${STATUS}:\n${all}")
endif()
foreach(pattern ${EXPECT})
  if(NOT all MATCHES "${pattern}")
    message(FATAL_ERROR "plughost's output lacks \"${pattern}\":\n${all}")
  endif()
endforeach()
if(REJECT AND all MATCHES "${REJECT}")
  message(FATAL_ERROR "plughost's output has \"${REJECT}\":\n${all}")
endif()
