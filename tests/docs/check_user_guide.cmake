# Reads the guide's text back out of the PDF and checks that every section
# heading is there, in reading order, and that the pages carry their footer.
if(NOT PDFTOTEXT)
  message(FATAL_ERROR "pdftotext was not found; scripts/install-deps.sh installs it (poppler-utils)")
endif()
if(NOT EXISTS "${PDF}")
  message(FATAL_ERROR "The user guide was not built: ${PDF}")
endif()
execute_process(COMMAND ${PDFTOTEXT} "${PDF}" - OUTPUT_VARIABLE text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pdftotext could not read ${PDF}")
endif()
# Line and page breaks and runs of blanks do not matter, only the words.
string(ASCII 12 form_feed)
string(REPLACE "${form_feed}" " " text "${text}")
string(REGEX REPLACE "[ \t\r\n]+" " " text "${text}")

set(sections
  "What Kessivane does"
  "First start on the simulated observatory"
  "Choosing camera, focuser and port"
  "Taking an image and picking a star"
  "Manual focus"
  "Continuous focus, scan and auto focus"
  "Temperature calibration and compensation"
  "The settings"
  "The hub companion messages"
  "Troubleshooting")
set(rest "${text}")
foreach(section IN LISTS sections)
  string(FIND "${rest}" "${section}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "Section \"${section}\" is missing from the user guide, or out of order")
  endif()
  string(SUBSTRING "${rest}" ${at} -1 rest)
endforeach()

string(FIND "${text}" "Page 1 of " at)
if(at EQUAL -1)
  message(FATAL_ERROR "The user guide's pages carry no page numbers")
endif()
