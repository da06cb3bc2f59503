# Tests of what users of the programs see (included by CMakeLists.txt here):
# - vantrel_cli_output_tests: the outputs (lines, progress line, JSON), the
#   escaping and --list --verbose over the scripted device set;
# - in vantrel_cli_e2e_tests: the progress line on a pty and --json in a
#   real run, and every program against bad input.
if(TARGET vantrel_cli_parts AND TARGET vantrel_setupapi_fake)
  add_executable(vantrel_cli_output_tests events_test.cpp list_test.cpp ${CMAKE_SOURCE_DIR}/cli/host_posix.cpp)
  target_link_libraries(vantrel_cli_output_tests PRIVATE vantrel_cli_parts)
  vantrel_link_platform(vantrel_cli_output_tests SETUPAPI vantrel_setupapi_fake)
  target_link_libraries(vantrel_cli_output_tests PRIVATE GTest::gtest_main)
  gtest_discover_tests(vantrel_cli_output_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
endif()

target_sources(vantrel_cli_e2e_tests PRIVATE terminal_run_test.cpp bad_input_test.cpp)
if(TARGET vantrel-bench)
  target_compile_definitions(vantrel_cli_e2e_tests PRIVATE VANTREL_BENCH_EXE="$<TARGET_FILE:vantrel-bench>")
  add_dependencies(vantrel_cli_e2e_tests vantrel-bench)
endif()
foreach(_program vantrel-station vantrel-station-bench vantrel-bench-reference)
  if(TARGET ${_program})
    string(TOUPPER "${_program}" _define)
    string(REPLACE "-" "_" _define "${_define}")
    target_compile_definitions(vantrel_cli_e2e_tests PRIVATE ${_define}_EXE="$<TARGET_FILE:${_program}>")
    add_dependencies(vantrel_cli_e2e_tests ${_program})
  endif()
endforeach()
if(TARGET Vantrel)
  target_compile_definitions(vantrel_cli_e2e_tests PRIVATE VANTREL_WINDOW_EXE="$<TARGET_FILE:Vantrel>")
  add_dependencies(vantrel_cli_e2e_tests Vantrel)
endif()

# The real runner's --list over a mocked device tree (umockdev).
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
endif()
if(TARGET PkgConfig::UMOCKDEV)
  add_executable(vantrel_cli_list_sysfs_tests list_sysfs_test.cpp)
  target_link_libraries(vantrel_cli_list_sysfs_tests PRIVATE PkgConfig::UMOCKDEV GTest::gtest vantrel_process)
  target_compile_definitions(vantrel_cli_list_sysfs_tests PRIVATE VANTREL_CLI_EXE="$<TARGET_FILE:vantrel-cli>")
  add_dependencies(vantrel_cli_list_sysfs_tests vantrel-cli)
  gtest_discover_tests(vantrel_cli_list_sysfs_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
endif()
