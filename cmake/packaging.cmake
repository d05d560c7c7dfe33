# Installation and the Debian package.
#
# The program reads its catalogue, plug-ins, voice clips and guide from the
# folder it runs from, so the installed layout mirrors the build's bin/: all of
# it goes into one private program folder, and /usr/bin only holds links to the
# programs a user starts. The settings then live in the user's configuration
# folder, since the program folder is not theirs to write.
set(KV_PROGRAM_DIR lib/kessivane)

install(TARGETS kv_observatory LIBRARY DESTINATION ${KV_PROGRAM_DIR})
# The writer's example plug-in stays out: it would offer a camera that is not there.
install(TARGETS sim_camera indi_camera LIBRARY DESTINATION ${KV_PROGRAM_DIR})
install(TARGETS kessivane-sim RUNTIME DESTINATION ${KV_PROGRAM_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/data/Focusers.ini DESTINATION ${KV_PROGRAM_DIR})
install(DIRECTORY ${KV_VOICE_CLIP_DIR} DESTINATION ${KV_PROGRAM_DIR})

set(_kv_commands kessivane-sim)
# The Alpaca server for the focuser, where its libraries are there to build it.
if(TARGET kessivane-alpaca)
  install(TARGETS kessivane-alpaca RUNTIME DESTINATION ${KV_PROGRAM_DIR})
  list(APPEND _kv_commands kessivane-alpaca)
endif()
# The device-server focuser driver: the server starts drivers by name from the
# path, and its clients list them from the driver lists in share/indi.
if(TARGET indi_kessivane_focuser)
  install(TARGETS indi_kessivane_focuser RUNTIME DESTINATION ${KV_PROGRAM_DIR})
  install(FILES ${CMAKE_BINARY_DIR}/bin/indi_kessivane.xml DESTINATION share/indi)
  list(APPEND _kv_commands indi_kessivane_focuser)
endif()
if(KV_BUILD_DESKTOP)
  install(TARGETS kessivane kessivane-msg kessivane-hub kessivanectl RUNTIME DESTINATION ${KV_PROGRAM_DIR})
  install(FILES "${CMAKE_BINARY_DIR}/bin/Kessivane and Kantrel User's Guides.pdf"
                ${CMAKE_SOURCE_DIR}/docs/scripting.md ${CMAKE_SOURCE_DIR}/docs/plugin_writers_guide.md
          DESTINATION ${KV_PROGRAM_DIR})
  install(FILES ${CMAKE_SOURCE_DIR}/data/kessivane.desktop DESTINATION share/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/data/kessivane.svg DESTINATION share/icons/hicolor/scalable/apps)
  list(APPEND _kv_commands kessivane kessivane-msg kessivane-hub kessivanectl)
endif()

# A manual page for each command on the path, compressed as Debian's manual
# readers expect (-n: no name or time stamp inside, so builds are identical).
find_program(KV_GZIP gzip REQUIRED)
set(_kv_man_pages)
foreach(_cmd ${_kv_commands})
  set(_page ${CMAKE_BINARY_DIR}/man/${_cmd}.1.gz)
  add_custom_command(OUTPUT ${_page}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/docs/man/${_cmd}.1 ${CMAKE_BINARY_DIR}/man/${_cmd}.1
    COMMAND ${KV_GZIP} -9 -n -f ${CMAKE_BINARY_DIR}/man/${_cmd}.1
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${_cmd}.1 VERBATIM)
  list(APPEND _kv_man_pages ${_page})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${_kv_man_pages})
install(FILES ${_kv_man_pages} DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/docs/copyright DESTINATION share/doc/kessivane)

# Relative links, so the package can be unpacked under any root.
set(_kv_links ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${_kv_links})
foreach(_cmd ${_kv_commands})
  file(CREATE_LINK ../${KV_PROGRAM_DIR}/${_cmd} ${_kv_links}/${_cmd} SYMBOLIC)
  install(FILES ${_kv_links}/${_cmd} DESTINATION bin)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kessivane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kessivane developers")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kessivane developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "telescope focusing with a motorised focuser and a camera")
# CPack puts the summary line above this and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Kessivane drives a motorised focuser over a serial line, takes small frames
around a chosen star through camera plug-ins, measures how sharp the star is,
searches for best focus, and keeps focus as the night cools. It runs complete
without hardware on a simulated observatory (kessivane --simulate).")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The observatory library is the package's own, found through $ORIGIN.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
# What is started or loaded at run time rather than linked: the guide's viewer
# (F1), the session bus for the trace and the hub companion, and the sound
# server's client for the spoken read-out.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils, dbus")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libpulse0, dbus-user-session | dbus-x11")
# The INDI driver is started by the INDI server, which is Debian's indi-bin.
if(TARGET indi_kessivane_focuser)
  string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", indi-bin")
endif()
include(CPack)
