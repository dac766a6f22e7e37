# The Qt-free Windows layer: every src/**/*_win.cpp in one static library, and one doctest
# executable per tests/win/test_*.cpp, run by ctest under wine (CMAKE_CROSSCOMPILING_EMULATOR).

# The cross compiler must not search /usr/include (glibc headers break it), so doctest is
# reached through a folder that holds nothing but a link to it.
set(TARND_DOCTEST_DIR ${CMAKE_BINARY_DIR}/doctest-include)
file(MAKE_DIRECTORY ${TARND_DOCTEST_DIR})
if(NOT EXISTS ${TARND_DOCTEST_DIR}/doctest)
  file(CREATE_LINK /usr/include/doctest ${TARND_DOCTEST_DIR}/doctest SYMBOLIC)
endif()

# The Qt-free programs carry their runtime, so wine needs no DLL path for them; the programs
# linked with Qt use the DLLs Qt itself was built with.
set(TARND_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)

file(GLOB_RECURSE TARND_WIN_SOURCES CONFIGURE_DEPENDS src/*_win.cpp)
add_library(tarnd_win STATIC ${TARND_WIN_SOURCES})
target_include_directories(tarnd_win PUBLIC src)
target_link_libraries(tarnd_win PUBLIC advapi32 wtsapi32 kernel32 shell32 userenv)

# Small child programs the tests launch: the test child the Linux suites use too, and those of
# tests/win/helpers/*.cpp.
add_executable(childhelper tests/helpers/childhelper.cpp tests/helpers/childhelper_win.cpp)
target_link_options(childhelper PRIVATE -municode ${TARND_STATIC_RUNTIME})
target_link_libraries(childhelper PRIVATE shell32)
set(TARND_WIN_HELPER_TARGETS childhelper)
file(GLOB TARND_WIN_HELPERS CONFIGURE_DEPENDS tests/win/helpers/*.cpp)
foreach(src IN LISTS TARND_WIN_HELPERS)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_options(${name} PRIVATE -municode ${TARND_STATIC_RUNTIME})
  target_link_libraries(${name} PRIVATE tarnd_win)
  list(APPEND TARND_WIN_HELPER_TARGETS ${name})
endforeach()

set(TARND_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(TARND_WINE_ENV "WINEPREFIX=${TARND_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=winedbg.exe=d")

# wine's background processes must not inherit ctest's output pipe, or ctest hangs: boot the
# prefix in a fixture with all output thrown away, and end only this prefix's server afterwards,
# waiting until it has gone: a next run's programs (scripts/mutants runs ctest many times over)
# must not reach a server that is going away.
# Without its preloader wine reserves the addresses Windows fixes only after the loader has
# mapped itself, and now and then a process dies before its first instruction ("failed to map
# the shared user data"): its parent's CreateProcessW fails with 1359. No suite should run so.
add_test(NAME wine-boot COMMAND sh -c
  "[ -x /usr/lib/wine/wine64-preloader ] || { echo 'wine64-preloader is not installed (scripts/deps.sh)'; exit 1; }; /usr/lib/wine/wineserver64 -p >/dev/null 2>&1 </dev/null; /usr/lib/wine/wine64 wineboot >/dev/null 2>&1 </dev/null; exit 0")
add_test(NAME wine-shutdown COMMAND sh -c
  "/usr/lib/wine/wineserver64 -k >/dev/null 2>&1; /usr/lib/wine/wineserver64 -w >/dev/null 2>&1; exit 0")
set_tests_properties(wine-boot PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${TARND_WINE_ENV}" TIMEOUT 180)
set_tests_properties(wine-shutdown PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${TARND_WINE_ENV}")

# doctest's implementation and main, compiled once for every suite rather than once in each (it
# is most of a suite's compile time), with the one precompiled header of doctest and windows.h
# the suites share: made with the suites' own include folders and flags, which its reuse needs.
# doctest.h has been read once through that header, so the implementation is asked for by name.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/doctest-main.cpp CONTENT "#define DOCTEST_CONFIG_IMPLEMENT
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>
")
add_library(tarnd_doctest_main OBJECT ${CMAKE_BINARY_DIR}/doctest-main.cpp)
target_include_directories(tarnd_doctest_main PRIVATE ${TARND_DOCTEST_DIR} tests src)
target_precompile_headers(tarnd_doctest_main PRIVATE <doctest/doctest.h> <windows.h>)

file(GLOB TARND_WIN_TESTS CONFIGURE_DEPENDS tests/win/test_*.cpp)
foreach(src IN LISTS TARND_WIN_TESTS)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_include_directories(${name} PRIVATE ${TARND_DOCTEST_DIR} tests)
  target_link_libraries(${name} PRIVATE tarnd_win tarnd_doctest_main)
  target_precompile_headers(${name} REUSE_FROM tarnd_doctest_main)
  target_link_options(${name} PRIVATE ${TARND_STATIC_RUNTIME})
  if(TARND_WIN_HELPER_TARGETS)
    add_dependencies(${name} ${TARND_WIN_HELPER_TARGETS})
  endif()
  # Its output through a file, as the Qt suites' (tests/CMakeLists.txt): a console host left
  # behind must not hold ctest's pipe.
  set(out "$<TARGET_FILE:${name}>.out")
  add_test(NAME ${name} COMMAND sh -c
    "${CMAKE_CROSSCOMPILING_EMULATOR} '$<TARGET_FILE:${name}>' </dev/null >'${out}' 2>&1; rc=$?; cat '${out}'; exit $rc")
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${TARND_WINE_ENV}" TIMEOUT 120)
endforeach()
# One service manager per wine prefix: the suites that register a service take turns.
if(TEST test_servicehost_win)
  set_tests_properties(test_servicehost_win PROPERTIES RESOURCE_LOCK service-manager)
endif()

# The output reader's benchmark, run by hand (docs/benchmarks.md), not by ctest: once with
# today's reader, once with the polling reader it replaced, taken from git at configure time and
# linked ahead of tarnd_win, so the library's own childprocess_win.o is never pulled in (should
# it be, both define Child and the link fails).
function(tarnd_bench_reader name)
  add_executable(${name} bench/bench_reader_win.cpp ${ARGN})
  target_include_directories(${name} PRIVATE tests)
  target_link_libraries(${name} PRIVATE tarnd_win)
  target_link_options(${name} PRIVATE ${TARND_STATIC_RUNTIME})
  add_dependencies(${name} childhelper)
endfunction()
tarnd_bench_reader(bench_reader_win)

set(TARND_POLLING_READER ${CMAKE_BINARY_DIR}/polling-reader/childprocess_win.cpp)
execute_process(COMMAND git show 8d994c2^:src/process/childprocess_win.cpp
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE TARND_POLLING_TEXT RESULT_VARIABLE TARND_POLLING_RESULT
  ERROR_QUIET)
if(TARND_POLLING_RESULT EQUAL 0)
  # The interface it implements has grown since: the log notes of an interrupt, which it ignores.
  string(REPLACE "bool Child::interrupt()" "bool Child::interrupt(std::vector<LogNote> *)" TARND_POLLING_TEXT
    "${TARND_POLLING_TEXT}")
  # Written only when it changed, so that a new configure does not rebuild it.
  file(WRITE ${TARND_POLLING_READER}.new "${TARND_POLLING_TEXT}")
  file(COPY_FILE ${TARND_POLLING_READER}.new ${TARND_POLLING_READER} ONLY_IF_DIFFERENT)
  tarnd_bench_reader(bench_reader_win_polling ${TARND_POLLING_READER})
  target_compile_definitions(bench_reader_win_polling PRIVATE TARND_BENCH_POLLING)
else()
  message(STATUS "No git history here: bench_reader_win_polling is not built")
endif()
