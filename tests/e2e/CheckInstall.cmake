# cmake -DBUILD=<build dir> -DSTAGE=<empty folder> -P CheckInstall.cmake
# Installs the build into STAGE (as DESTDIR) and checks what a desktop needs to list the program:
# the programs in bin/, a desktop entry whose Exec and Icon name them, the icon in hicolor; and
# what another program needs to receive frames: libcliploop-client.so exporting its API alone, and
# a pkg-config file an outside build finds it by.
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

# The client library, as another project builds against it: found through pkg-config alone.
file(GLOB_RECURSE pc ${root}/*/cliploop-client.pc)
check("cliploop-client.pc is not installed" pc)
get_filename_component(pcdir "${pc}" DIRECTORY)
file(GLOB_RECURSE library ${root}/*/libcliploop-client.so)
check("libcliploop-client.so is not installed" library)
execute_process(COMMAND nm -D -C --defined-only ${library} OUTPUT_VARIABLE exported RESULT_VARIABLE result)
check("nm cannot read ${library}" result EQUAL 0)
check("the library does not export FrameClient::connect" exported MATCHES "cliploop::FrameClient::connect")
check("the library does not export listFrameServers" exported MATCHES "cliploop::listFrameServers")
foreach(inside "cliploop::detail::" "cliploop::directory::" "cliploop::protocol::")
  string(FIND "${exported}" "${inside}" at)
  check("the library exports ${inside}:\n${exported}" at EQUAL -1)
endforeach()
set(outside ${STAGE}/outside)
file(WRITE ${outside}/receive.cpp [=[
#include <cliploop/FrameClient.h>
#include <cstdio>
int main() {
    std::string error;
    // No server of this name runs: the library answers with a reason, not a crash.
    auto client = cliploop::FrameClient::connect("no such server here", &error);
    std::printf("%zu servers, clock %s\n", cliploop::listFrameServers().size(),
                cliploop::hostTimeNow() > 0 ? "runs" : "stopped");
    return !client && !error.empty() ? 0 : 1;
}
]=])
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir} PKG_CONFIG_LIBDIR=${pcdir}
          sh -c "c++ -std=c++17 -o receive receive.cpp $(pkg-config --cflags --libs cliploop-client)"
  WORKING_DIRECTORY ${outside}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
check("an outside program does not build with pkg-config:\n${output}" result EQUAL 0)
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${pcdir}/.. XDG_RUNTIME_DIR=${outside}
  ${outside}/receive RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
check("the outside program fails against the installed library (${result}):\n${output}" result EQUAL 0)

file(REMOVE_RECURSE ${STAGE})
message(STATUS "installed and found: programs, desktop entry, icon, client library by pkg-config")
