# Packages made by CPack from the install rules below:
# - Windows: one ZIP per architecture, Vantrel-<version>-win32.zip or
#   -win64.zip (a portable copy: the programs and a short readme at its
#   top), and one MSI per architecture, Vantrel-<version>-x86.msi or -x64.msi,
#   built by wixl from the same staged files (packaging/windows/msi.cmake);
# - Linux: a .deb with the programs in /usr/bin (the window as `vantrel`), a
#   man page for each, the udev rules for the terminals, the station as a
#   systemd service (disabled) with its settings in /etc/default and a
#   logrotate rule for its log, the maintainer scripts (udev reload, the
#   `vantrel` system user), the menu entry and its icons (hicolor 16, 32 and
#   48), the copyright and the changelog. tests/packaging/ checks both.
#
# `cpack` packs what the build made; it does not build first
# (CMAKE_SKIP_INSTALL_ALL_DEPENDENCY): build, then pack.

# The programs people use, by target: the one list the .deb, the ZIPs and the
# MSIs read. A program this platform does not build is left out here.
set(VANTREL_PROGRAMS Vantrel vantrel-cli vantrel-station vantrel-script vantrel-sim)
set(_shipped)
foreach(program ${VANTREL_PROGRAMS})
  if(TARGET ${program})
    list(APPEND _shipped ${program})
  endif()
endforeach()

# Every program the build makes, found in its folders rather than in the list
# above, so that the package tests see a new program nobody added to the list.
# The benches are developer tools (they carry build paths) and stay out; the
# tests and fuzzers are added after this file.
function(_vantrel_built_programs dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  set(found ${${out}})
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND found ${target})
    endif()
  endforeach()
  foreach(subdir ${subdirs})
    if(NOT subdir MATCHES "^${CMAKE_SOURCE_DIR}/(bench|tests|fuzz)(/|$)")
      _vantrel_built_programs(${subdir} found)
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
set(_built)
_vantrel_built_programs(${CMAKE_SOURCE_DIR} _built)
# built-programs.txt: each program's file name; shipped-programs.txt: the
# same for the list above. The package tests read both.
set(_built_names)
foreach(program ${_built})
  string(APPEND _built_names "$<TARGET_FILE_NAME:${program}>\n")
endforeach()
set(_shipped_names)
foreach(program ${_shipped})
  string(APPEND _shipped_names "$<TARGET_FILE_NAME:${program}>\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/packaging/built-programs.txt CONTENT "${_built_names}")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/packaging/shipped-programs.txt CONTENT "${_shipped_names}")

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
    set(_msi_arch x64)
    set(VANTREL_PACKAGE_ARCH_TEXT "64-bit")
  else()
    set(_arch win32)
    set(_msi_arch x86)
    set(VANTREL_PACKAGE_ARCH_TEXT "32-bit")
  endif()
  install(TARGETS ${_shipped} RUNTIME DESTINATION .)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/README.txt ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)
  set(CPACK_PACKAGE_FILE_NAME Vantrel-${PROJECT_VERSION}-${_arch})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

  # The MSI: CPack's External generator stages the same files as the ZIP and
  # hands them to packaging/windows/msi.cmake, which runs wixl.
  find_program(VANTREL_WIXL wixl)
  if(VANTREL_WIXL)
    set(CPACK_GENERATOR ZIP External)
    set(CPACK_EXTERNAL_ENABLE_STAGING ON)
    set(VANTREL_MSI_ARCH ${_msi_arch})
    set(VANTREL_MSI_ICON ${CMAKE_SOURCE_DIR}/res/vantrel.ico)
    set(VANTREL_MSI_SCRIPT ${CMAKE_SOURCE_DIR}/packaging/windows/msi.cmake)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/cpack-msi.cmake.in
      ${CMAKE_BINARY_DIR}/packaging/cpack-msi.cmake @ONLY)
    set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${CMAKE_BINARY_DIR}/packaging/cpack-msi.cmake)
  else()
    message(STATUS "wixl not found (Debian package wixl): cpack makes the ZIP only, no MSI")
    set(CPACK_GENERATOR ZIP)
  endif()
else()
  set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
  set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(_linux ${CMAKE_SOURCE_DIR}/packaging/linux)
  foreach(program ${_shipped})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
    get_target_property(_name ${program} OUTPUT_NAME)
    if(NOT _name)
      set(_name ${program})
    endif()
    if(TARGET ${program}-man)
      install(FILES ${VANTREL_MAN_DIR}/${_name}.1.gz DESTINATION share/man/man1)
    endif()
  endforeach()
  install(FILES ${_linux}/70-vantrel-terminals.rules DESTINATION lib/udev/rules.d)

  # The station as a service: the unit (installed disabled), the wrapper that
  # makes its command line from /etc/default/vantrel-station, that file and
  # the logrotate rule (both conffiles, listed in packaging/linux/conffiles).
  install(FILES ${_linux}/vantrel-station.service DESTINATION lib/systemd/system)
  install(PROGRAMS ${_linux}/station-service DESTINATION libexec/vantrel)
  install(FILES ${_linux}/default/vantrel-station DESTINATION /etc/default)
  install(FILES ${_linux}/logrotate/vantrel-station DESTINATION /etc/logrotate.d)

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
    "The window (vantrel) and the command-line runner (vantrel-cli) play an"
    "upgrade script to a point-of-sale terminal attached as a USB serial port,"
    "record by record, showing progress and the terminal's answers."
    "vantrel-station upgrades every terminal plugged in, several at once; it"
    "comes with a systemd service (disabled until enabled) running as the"
    "system user vantrel. The package also brings a terminal simulator and a"
    "script tool for testing, and udev rules that let the logged-in user open"
    "the terminals and keep ModemManager away from them.")
  # The libraries' packages (Qt, the C++ runtime) from the programs
  # themselves; adduser for the maintainer scripts' system user.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
  # Reload a running udev and systemd after files came or went; the system
  # user and its folders.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_linux}/postinst ${_linux}/prerm ${_linux}/postrm ${_linux}/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()

include(CPack)
