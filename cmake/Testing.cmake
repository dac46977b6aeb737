# GoogleTest from Debian's sources (/usr/src/googletest), built with the project's compiler so that
# the same tests build natively, under sanitizers and for Windows.
set(GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The command that runs a built program of this project's target system: empty natively, Wine (with
# a prefix inside the build tree) for the Windows build.
if(WIN32 AND CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(wine_loader /usr/lib/wine/wine64)
  else()
    set(wine_loader /usr/lib/wine/wine)
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix;${wine_loader}")
endif()
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(TARVO_RUNNER "${CMAKE_CROSSCOMPILING_EMULATOR}")
else()
  set(TARVO_RUNNER "")
endif()

# Tests that use the shared named event must not run at the same time.
set(TARVO_EVENT_LOCK "tarvo-named-event")

# A GoogleTest program. PER_SYSTEM adds the tests that only one system has: <stem>_posix_test.cpp
# or <stem>_win32_test.cpp beside <stem>_test.cpp.
function(tarvo_unit_test name)
  cmake_parse_arguments(ARG "USES_EVENT;PER_SYSTEM" "" "SOURCES;LIBRARIES" ${ARGN})
  if(ARG_PER_SYSTEM)
    string(REGEX REPLACE "_test$" "" stem ${name})
    if(WIN32)
      list(APPEND ARG_SOURCES ${stem}_win32_test.cpp)
    else()
      list(APPEND ARG_SOURCES ${stem}_posix_test.cpp)
    endif()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main)
  tarvo_warnings(${name})
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(${name} PROPERTIES TIMEOUT 120)
  if(ARG_USES_EVENT)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK ${TARVO_EVENT_LOCK})
  endif()
endfunction()

add_library(tarvo_testing INTERFACE)
target_include_directories(tarvo_testing INTERFACE ${PROJECT_SOURCE_DIR}/testing)
