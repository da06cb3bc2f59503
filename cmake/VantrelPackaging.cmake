# Packages made by CPack from the install rules below:
# - Windows: one ZIP per architecture, Vantrel-<version>-win32.zip or
#   -win64.zip, with both programs and a short readme at its top;
# - Linux: a .deb with the window (when built), vantrel-cli, the tools
#   (terminal simulator and script tool) in /usr/bin, a man page for each,
#   the udev rules for the terminals with maintainer scripts that reload a
#   running udev, the menu entry and its icons (hicolor 16, 32 and 48), the
#   copyright and the changelog. tests/packaging/deb_test.sh checks it.
#
# `cpack` packs what the build made; it does not build first
# (CMAKE_SKIP_INSTALL_ALL_DEPENDENCY): build, then pack.

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
  set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
  set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(_linux ${CMAKE_SOURCE_DIR}/packaging/linux)
  foreach(program Vantrel vantrel-cli vantrel-sim vantrel-script)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION bin)
      if(TARGET ${program}-man)
        install(FILES ${VANTREL_MAN_DIR}/${program}.1.gz DESTINATION share/man/man1)
      endif()
    endif()
  endforeach()
  install(FILES ${_linux}/70-vantrel-terminals.rules DESTINATION lib/udev/rules.d)

  # The menu entry and its icons, drawn at build time from the picture of
  # the window's own icon (res/make_icon.py).
  find_package(Python3 COMPONENTS Interpreter)
  if(TARGET Vantrel AND Python3_Interpreter_FOUND)
    set(_icons ${CMAKE_BINARY_DIR}/icons)
    set(_icon_files ${_icons}/16x16/apps/vantrel.png ${_icons}/32x32/apps/vantrel.png ${_icons}/48x48/apps/vantrel.png)
    add_custom_command(OUTPUT ${_icon_files}
      COMMAND ${Python3_EXECUTABLE} ${_linux}/icons.py ${_icons}
      DEPENDS ${_linux}/icons.py ${CMAKE_SOURCE_DIR}/res/make_icon.py
      COMMENT "Menu icons"
      VERBATIM)
    add_custom_target(vantrel-icons ALL DEPENDS ${_icon_files})
    install(DIRECTORY ${_icons}/ DESTINATION share/icons/hicolor)
    install(FILES ${_linux}/vantrel.desktop DESTINATION share/applications)
  endif()

  # The changelog and copyright every Debian package carries.
  configure_file(${_linux}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
  find_program(VANTREL_GZIP gzip)
  if(VANTREL_GZIP)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
      COMMAND ${VANTREL_GZIP} -9nkf ${CMAKE_BINARY_DIR}/packaging/changelog
      DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
      VERBATIM)
    add_custom_target(vantrel-changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION share/doc/vantrel)
  endif()
  install(FILES ${_linux}/copyright DESTINATION share/doc/vantrel)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME vantrel)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vantrel developers <vantrel@vantrel.example>")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # Debian wants the long description in lines of at most 80 characters.
  string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "The window (Vantrel) and the command-line runner (vantrel-cli) play an"
    "upgrade script to a point-of-sale terminal attached as a USB serial port,"
    "record by record, showing progress and the terminal's answers."
    "The package also brings a terminal simulator and a script tool for"
    "testing, and udev rules that let the logged-in user open the terminals"
    "and keep ModemManager away from them.")
  # The libraries' packages (Qt, the C++ runtime) from the programs themselves.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Reload a running udev after the rules came or went.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_linux}/postinst ${_linux}/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()

include(CPack)
