# cmake -DBUILD=<build dir> -DSTAGE=<empty folder> -P CheckInstall.cmake
# Installs the build into STAGE (as DESTDIR) and checks what a desktop needs to list the program:
# the programs in bin/, a desktop entry whose Exec and Icon name them, the icon in hicolor.
macro(check message)
  if(NOT (${ARGN}))
    message(FATAL_ERROR "${message}")
  endif()
endmacro()

file(REMOVE_RECURSE ${STAGE})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${STAGE} ${CMAKE_COMMAND} --install ${BUILD} --prefix /usr
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
check("cmake --install failed:\n${output}" result EQUAL 0)
set(root ${STAGE}/usr)
foreach(file bin/cliploop bin/cliploop-receive bin/cliploop-play share/applications/cliploop.desktop
             share/icons/hicolor/scalable/apps/cliploop.svg)
  check("${file} is not installed" EXISTS ${root}/${file})
endforeach()
execute_process(COMMAND ${root}/bin/cliploop-receive --help RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
check("the installed cliploop-receive does not run: ${result}" result EQUAL 0)

file(STRINGS ${root}/share/applications/cliploop.desktop lines)
foreach(expected "[Desktop Entry]" "Type=Application" "Name=cliploop" "Exec=cliploop" "Icon=cliploop")
  list(FIND lines "${expected}" found)
  check("the desktop entry lacks the line ${expected}" found GREATER -1)
endforeach()
file(READ ${root}/share/icons/hicolor/scalable/apps/cliploop.svg svg)
check("the icon is not an SVG image" svg MATCHES "<svg")
file(REMOVE_RECURSE ${STAGE})
message(STATUS "installed and found: programs, desktop entry, icon")
