# cliploop_add_test(NAME SOURCES src... LIBS lib... [LABELS label...])
# Builds one GoogleTest program and registers its cases with ctest.
# The label "concurrency" marks the tests that the thread-sanitizer build runs.
include(GoogleTest)
function(cliploop_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # An empty label would swallow the properties that follow it.
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300
    DISCOVERY_TIMEOUT 60
    # Listed when ctest runs, under the same wrapper and options as the cases.
    DISCOVERY_MODE PRE_TEST)
endfunction()

# cliploop_add_bench(NAME SOURCES src... LIBS lib...)
# Benchmarks build into build/bench and are run by scripts/run-bench.
function(cliploop_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(bench-${name} ${B_SOURCES})
  target_link_libraries(bench-${name} PRIVATE ${B_LIBS} Threads::Threads)
  set_target_properties(bench-${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

# cliploop_add_tests_in(DIR LIBS lib...)
# Every *Test.cpp file of the folder becomes one test program named after it.
# A line "// ctest-labels: concurrency" in the file gives its cases that label.
function(cliploop_add_tests_in dir)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*Test.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${dir}/support/*.cpp ${dir}/support/*.h)
  foreach(source ${sources})
    get_filename_component(name ${source} NAME_WE)
    file(STRINGS ${source} label_line REGEX "ctest-labels:" LIMIT_COUNT 1)
    set(labels "")
    if(label_line)
      string(REGEX REPLACE ".*ctest-labels:[ ]*" "" labels "${label_line}")
      string(REPLACE " " ";" labels "${labels}")
    endif()
    cliploop_add_test(${name} SOURCES ${source} ${helpers} LIBS ${T_LIBS} LABELS ${labels})
  endforeach()
endfunction()
