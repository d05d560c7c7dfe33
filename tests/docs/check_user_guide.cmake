# Reads the guides back out of the PDF: every section heading is a bookmark,
# in reading order, on a page of the file; every link leads to a page of the
# file; the pages carry their footer; and every file the text names lies in
# the program folder beside the PDF.
foreach(tool PDFTOTEXT PDFTOHTML)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} was not found; scripts/install-deps.sh installs it (poppler-utils)")
  endif()
endforeach()
# Every section of a guide is in its Contents, where a reader looks first.
string(REPLACE "|" ";" guides "${GUIDES}")
foreach(guide IN LISTS guides)
  file(STRINGS "${guide}" headings REGEX "^## ")
  file(READ "${guide}" source)
  foreach(heading IN LISTS headings)
    string(REGEX REPLACE "^## " "" title "${heading}")
    string(FIND "${source}" "- [${title}](#" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "The section \"${title}\" of ${guide} is missing from its Contents")
    endif()
  endforeach()
endforeach()
if(NOT EXISTS "${PDF}")
  message(FATAL_ERROR "The user guide was not built: ${PDF}")
endif()
execute_process(COMMAND ${PDFTOTEXT} "${PDF}" - OUTPUT_VARIABLE text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pdftotext could not read ${PDF}")
endif()
execute_process(COMMAND ${PDFTOHTML} -xml -i -q -stdout "${PDF}" OUTPUT_VARIABLE xml RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pdftohtml could not read ${PDF}")
endif()
# Line and page breaks and runs of blanks do not matter, only the words.
string(ASCII 12 form_feed)
string(REPLACE "${form_feed}" " " text "${text}")
string(REGEX REPLACE "[ \t\r\n]+" " " text "${text}")
string(REGEX MATCHALL "<page number=\"[0-9]+\"" pages "${xml}")
list(LENGTH pages page_count)

set(sections
  "Kessivane User's Guide"
  "What Kessivane does"
  "First start on the simulated observatory"
  "Choosing camera, focuser and port"
  "Taking an image and picking a star"
  "Manual focus"
  "Continuous focus, scan and auto focus"
  "Temperature calibration and compensation"
  "The settings"
  "The hub companion messages"
  "Sharing the focuser with other programs"
  "Troubleshooting"
  "Kantrel Hub Companion Guide"
  "What the companion does"
  "Commands"
  "The messages"
  "When something goes wrong")
string(REGEX MATCHALL "<item page=\"[0-9]+\">[^<]*</item>" items "${xml}")
set(at 0)
set(last_page 1)
foreach(section IN LISTS sections)
  set(found FALSE)
  list(LENGTH items count)
  while(at LESS count AND NOT found)
    list(GET items ${at} item)
    math(EXPR at "${at} + 1")
    string(REGEX REPLACE "<item page=\"([0-9]+)\">([^<]*)</item>" "\\1;\\2" parts "${item}")
    list(GET parts 0 page)
    list(GET parts 1 title)
    string(REPLACE "&apos;" "'" title "${title}")
    string(REPLACE "&#39;" "'" title "${title}")
    if(title STREQUAL section)
      set(found TRUE)
    endif()
  endwhile()
  if(NOT found)
    message(FATAL_ERROR "Section \"${section}\" has no bookmark in the guides, or it is out of order")
  endif()
  if(page LESS last_page OR page GREATER page_count)
    message(FATAL_ERROR "The bookmark of \"${section}\" goes to page ${page}, out of order or past the last page")
  endif()
  set(last_page ${page})
endforeach()

# A link within the file shows as a page number; anything else is a dead
# "#section" address or a file that does not ship.
string(REGEX MATCHALL "<a href=\"[^\"]*\">" links "${xml}")
list(LENGTH links link_count)
if(link_count LESS 10)
  message(FATAL_ERROR "The guides have ${link_count} links; their contents lists alone have more")
endif()
foreach(link IN LISTS links)
  if(NOT link MATCHES "#([0-9]+)\">$" AND NOT link MATCHES "href=\"https?://")
    message(FATAL_ERROR "A link in the guides leads nowhere: ${link}")
  endif()
  if(link MATCHES "#([0-9]+)\">$" AND CMAKE_MATCH_1 GREATER page_count)
    message(FATAL_ERROR "A link in the guides goes past the last page: ${link}")
  endif()
endforeach()

string(FIND "${text}" "Page 1 of " at)
if(at EQUAL -1)
  message(FATAL_ERROR "The user guide's pages carry no page numbers")
endif()

# The guides send readers to other documents by name; each must be in the
# program folder, not only in the source.
get_filename_component(folder "${PDF}" DIRECTORY)
string(REGEX MATCHALL "[A-Za-z0-9_./-]+\\.md" named "${text}")
list(REMOVE_DUPLICATES named)
foreach(file IN LISTS named)
  if(file MATCHES "/" OR NOT EXISTS "${folder}/${file}")
    message(FATAL_ERROR "The guides name ${file}, which is not in the program folder ${folder}")
  endif()
endforeach()
