# The Windows programs: Vantrel.exe (the window) and, through
# vantrel_link_windows(), vantrel-cli.exe and the Windows tests.
#
# On Windows the platform is the system itself: the core and the framework
# link the real user32, comctl32, kernel32 and setupapi. The toolchain links
# the C and C++ runtimes statically, so the programs need only system DLLs.
# Each program carries the icon, the manifest (for this build's processor)
# and a version resource (res/vantrel.rc).

if(NOT VANTREL_WINDOWS_ARCH)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(VANTREL_WINDOWS_ARCH amd64)
  else()
    set(VANTREL_WINDOWS_ARCH x86)
  endif()
endif()

enable_language(RC)

set(_vantrel_res_dir ${CMAKE_BINARY_DIR}/res)
configure_file(${CMAKE_SOURCE_DIR}/res/vantrel.manifest.in ${_vantrel_res_dir}/vantrel.manifest @ONLY)

# vantrel_windows_resources(<target> <file name> <description>)
# Compiles res/vantrel.rc into <target> with the program's own version text.
function(vantrel_windows_resources target file_name description)
  set(VANTREL_RC_TARGET ${target})
  set(VANTREL_RC_ICON ${CMAKE_SOURCE_DIR}/res/vantrel.ico)
  set(VANTREL_RC_MANIFEST ${_vantrel_res_dir}/vantrel.manifest)
  set(VANTREL_RC_FILE_NAME ${file_name})
  set(VANTREL_RC_DESCRIPTION ${description})
  configure_file(${CMAKE_SOURCE_DIR}/res/vantrel_rc_config.h.in ${_vantrel_res_dir}/${target}/vantrel_rc_config.h @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/res/vantrel.rc)
  target_include_directories(${target} PRIVATE ${_vantrel_res_dir}/${target})
  # The resource compiler does not see through a configured header: rebuild
  # the resources when the icon or the manifest changes.
  set_property(SOURCE ${CMAKE_SOURCE_DIR}/res/vantrel.rc APPEND PROPERTY OBJECT_DEPENDS
    ${CMAKE_SOURCE_DIR}/res/vantrel.ico ${_vantrel_res_dir}/vantrel.manifest)
endfunction()

# vantrel_link_windows(<target>)
# Links <target> with vantrel_core and the system libraries the core calls.
function(vantrel_link_windows target)
  target_link_libraries(${target} PRIVATE vantrel_core setupapi cfgmgr32 comctl32 Threads::Threads)
endfunction()

# The windowed tool: the wide entry point (-municode) of framework/entry_windows.cpp.
if(TARGET vantrel_app_object AND TARGET vantrel_framework_entry)
  add_executable(Vantrel WIN32 $<TARGET_OBJECTS:vantrel_app_object> $<TARGET_OBJECTS:vantrel_framework_entry>
    $<TARGET_OBJECTS:vantrel_window_options>)
  vantrel_link_windows(Vantrel)
  target_link_libraries(Vantrel PRIVATE vantrel_usage)
  target_link_options(Vantrel PRIVATE -municode)
  vantrel_windows_resources(Vantrel Vantrel.exe "Vantrel terminal upgrader")
endif()
