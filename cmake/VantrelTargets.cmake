# How the rooms are put together into programs.
#
# vantrel_core: the core and the framework, identical on every platform.
# vantrel_platform_headless / vantrel_platform_qt: the Win32 subset with one
# window back end each (POSIX). Static libraries that call each other are
# linked as one group.

set(_core_parts vantrel_common vantrel_res vantrel_framework vantrel_engine vantrel_serial vantrel_device vantrel_app)
set(_core_objects)
foreach(part ${_core_parts})
  if(TARGET ${part})
    list(APPEND _core_objects $<TARGET_OBJECTS:${part}>)
  endif()
endforeach()
add_library(vantrel_core STATIC ${_core_objects})
target_link_libraries(vantrel_core PUBLIC Threads::Threads)

if(NOT WIN32)
  set(_platform_common vantrel_kernel32 vantrel_comm_tty vantrel_user32 vantrel_setupapi)
  set(_have_platform TRUE)
  foreach(lib ${_platform_common} vantrel_ui_headless)
    if(NOT TARGET ${lib})
      set(_have_platform FALSE)
    endif()
  endforeach()
  if(_have_platform)
    string(REPLACE ";" "," _group "${_platform_common}")
    add_library(vantrel_platform_headless INTERFACE)
    target_link_libraries(vantrel_platform_headless INTERFACE
      "$<LINK_GROUP:RESCAN,${_group},vantrel_ui_headless>" Threads::Threads)
    if(TARGET vantrel_ui_qt)
      add_library(vantrel_platform_qt INTERFACE)
      target_link_libraries(vantrel_platform_qt INTERFACE
        "$<LINK_GROUP:RESCAN,${_group},vantrel_ui_qt>" Threads::Threads)
    endif()
  endif()
endif()

# The windowed tool.
if(TARGET vantrel_platform_qt)
  add_executable(Vantrel $<TARGET_OBJECTS:vantrel_app_object> $<TARGET_OBJECTS:vantrel_framework_entry>
    $<TARGET_OBJECTS:vantrel_window_options>)
  target_link_libraries(Vantrel PRIVATE vantrel_core vantrel_platform_qt vantrel_usage)
  # Commands are lowercase on Linux: the file (and the man page) is vantrel.
  set_target_properties(Vantrel PROPERTIES OUTPUT_NAME vantrel)
  vantrel_man_page(Vantrel vantrel)
endif()

# vantrel_link_platform(<target> [COMM lib] [UI lib] [SETUPAPI lib])
# Links <target> with vantrel_core and the POSIX Win32 subset, swapping in
# fakes at the seam where given: e.g. COMM vantrel_comm_fake for the scripted
# serial port, SETUPAPI vantrel_setupapi_fake for a fake device set. Defaults:
# vantrel_comm_tty, vantrel_ui_headless, vantrel_setupapi.
function(vantrel_link_platform target)
  cmake_parse_arguments(P "" "COMM;UI;SETUPAPI" "" ${ARGN})
  if(NOT P_COMM)
    set(P_COMM vantrel_comm_tty)
  endif()
  if(NOT P_UI)
    set(P_UI vantrel_ui_headless)
  endif()
  if(NOT P_SETUPAPI)
    set(P_SETUPAPI vantrel_setupapi)
  endif()
  target_link_libraries(${target} PRIVATE vantrel_core
    "$<LINK_GROUP:RESCAN,vantrel_kernel32,${P_COMM},vantrel_user32,${P_UI},${P_SETUPAPI}>" Threads::Threads)
endfunction()

# The Windows programs (Vantrel.exe, and the linking of vantrel-cli.exe).
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/VantrelWindows.cmake)
endif()
