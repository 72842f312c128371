# GoogleTest: the system's package natively; built from Debian's sources for
# cross builds, where no prebuilt library fits.
if(CMAKE_CROSSCOMPILING)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_library(dudidadu_gtest_main INTERFACE)
  target_link_libraries(dudidadu_gtest_main INTERFACE gtest gtest_main)
else()
  find_package(GTest REQUIRED)
  add_library(dudidadu_gtest_main INTERFACE)
  target_link_libraries(dudidadu_gtest_main INTERFACE GTest::gtest GTest::gtest_main)
endif()
