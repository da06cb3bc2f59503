# Packages made by CPack from the install rules below:
# - Windows: one ZIP per architecture, Vantrel-<version>-win32.zip or
#   -win64.zip, with both programs and a short readme at its top;
# - Linux: a .deb with the window (when built), vantrel-cli, the tools
#   (terminal simulator and script tool) and the udev rules for the terminals.

set(CPACK_PACKAGE_NAME Vantrel)
set(CPACK_PACKAGE_VENDOR Vantrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Upgrades point-of-sale terminals over their USB serial port")
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
# The build keeps debug information; the packages do not.
set(CPACK_STRIP_FILES TRUE)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_arch win64)
    set(VANTREL_PACKAGE_ARCH_TEXT "64-bit")
  else()
    set(_arch win32)
    set(VANTREL_PACKAGE_ARCH_TEXT "32-bit")
  endif()
  foreach(program Vantrel vantrel-cli)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
    endif()
  endforeach()
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/README.txt ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Vantrel-${PROJECT_VERSION}-${_arch})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  foreach(program Vantrel vantrel-cli vantrel-sim vantrel-script)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION bin)
    endif()
  endforeach()
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/linux/70-vantrel-terminals.rules DESTINATION lib/udev/rules.d)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME vantrel)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vantrel developers <vantrel@localhost>")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The libraries' packages (Qt, the C++ runtime) from the programs themselves.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
