# GoogleTest for the Windows cross builds.
#
# Debian ships GoogleTest for the host only, with its sources in
# /usr/src/googletest (package libgtest-dev). The mingw-w64 toolchains put
# this folder on CMAKE_MODULE_PATH, so find_package(GTest) builds those
# sources with the cross compiler and offers the usual imported names.
set(VANTREL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")
if(NOT TARGET GTest::gtest)
  if(NOT EXISTS ${VANTREL_GTEST_SOURCE}/CMakeLists.txt)
    set(GTest_FOUND FALSE)
    if(GTest_FIND_REQUIRED)
      message(FATAL_ERROR "GoogleTest sources not found in ${VANTREL_GTEST_SOURCE} (install libgtest-dev)")
    endif()
    return()
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  # GoogleTest is not ours to warn about.
  add_subdirectory(${VANTREL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # Our warnings-as-errors are for our own sources.
  foreach(_gtest_target gtest gtest_main)
    target_compile_options(${_gtest_target} PRIVATE -Wno-error)
  endforeach()
  # GoogleTest names its targets GTest::gtest and GTest::gtest_main itself.
endif()
set(GTest_FOUND TRUE)
set(GTEST_FOUND TRUE)
