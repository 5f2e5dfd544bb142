# cmake -DBUILD=<build dir> -DSTAGE=<empty folder> -P CheckInstall.cmake
# Installs the build into STAGE (as DESTDIR) and checks that a desktop would
# find the program: the programs in bin/, a desktop entry whose Exec and Icon
# name what is installed, and the icon in the hicolor theme.
file(REMOVE_RECURSE ${STAGE})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${STAGE} ${CMAKE_COMMAND} --install ${BUILD} --prefix /usr
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()

set(root ${STAGE}/usr)
foreach(program cliploop cliploop-receive cliploop-play)
  if(NOT EXISTS ${root}/bin/${program})
    message(FATAL_ERROR "${program} is not installed in bin/")
  endif()
endforeach()
execute_process(COMMAND ${root}/bin/cliploop-receive --help RESULT_VARIABLE result
  OUTPUT_QUIET ERROR_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed cliploop-receive does not run: ${result}")
endif()

set(entry ${root}/share/applications/cliploop.desktop)
if(NOT EXISTS ${entry})
  message(FATAL_ERROR "no desktop entry")
endif()
file(STRINGS ${entry} lines)
foreach(expected "[Desktop Entry]" "Type=Application" "Name=cliploop" "Exec=cliploop" "Icon=cliploop")
  list(FIND lines "${expected}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "the desktop entry lacks the line ${expected}")
  endif()
endforeach()
set(icon ${root}/share/icons/hicolor/scalable/apps/cliploop.svg)
if(NOT EXISTS ${icon})
  message(FATAL_ERROR "no icon named cliploop in the hicolor theme")
endif()
file(READ ${icon} svg)
if(NOT svg MATCHES "<svg")
  message(FATAL_ERROR "the icon is not an SVG image")
endif()
file(REMOVE_RECURSE ${STAGE})
message(STATUS "installed and found: programs, desktop entry, icon")
