# cliploop_export_headers(TARGET PREFIX)
# Exports the headers of the calling folder, and only those, to whoever links
# TARGET, under "PREFIX/Name.h": the build folder gets a directory that holds
# one link named PREFIX pointing at the source folder, and that directory is
# the target's public include root. A library cannot reach a neighbour's
# headers without linking it.
function(cliploop_export_headers target prefix)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${prefix})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${prefix} SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
