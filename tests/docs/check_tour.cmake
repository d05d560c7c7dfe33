# Runs the unattended tour on the simulated observatory in a fresh program
# folder and checks its output against scripts/tour-expected.txt, the lines
# the package check also looks for.
#   cmake -DBIN=<bin dir> -DEXPECTED=<file> -DWORK=<scratch dir> -P check_tour.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(GLOB _parts "${BIN}/*.so*" "${BIN}/Focusers.ini")
file(COPY ${_parts} "${BIN}/kessivane" DESTINATION "${WORK}")
if(EXISTS "${BIN}/Res01")
  file(COPY "${BIN}/Res01" DESTINATION "${WORK}")
endif()
execute_process(COMMAND "${WORK}/kessivane" --simulate --tour "${WORK}/tour"
                WORKING_DIRECTORY "${WORK}" OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc
                TIMEOUT 1500)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "The tour failed (${rc}):\n${out}\n${err}")
endif()
# Its settings, runs and learned curves are its own: the user's next start
# from this folder finds none of them.
foreach(kept Kessivane.ini focus_log.csv learned_curves.txt)
  if(EXISTS "${WORK}/${kept}")
    message(FATAL_ERROR "The tour left ${kept} in the program folder the user runs from")
  endif()
endforeach()
string(REPLACE "\n" ";" lines "${out}")
file(STRINGS "${EXPECTED}" patterns REGEX "^[^#]")
foreach(pattern IN LISTS patterns)
  set(found FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "${pattern}")
      set(found TRUE)
      break()
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "No line of the tour matches\n  ${pattern}\nThe tour printed:\n${out}")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")
