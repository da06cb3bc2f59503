# kernel32 over POSIX: errors, handles, files, process and time, debugger
# output, and the Win32 comm calls. The comm calls reach a comm device
# through OpenCommDevice (comm_device.h), defined by exactly one opener
# library linked next to vantrel_kernel32:
#   vantrel_comm_tty   real ttys through termios2 (the tool, the runner)
#   vantrel_comm_fake  the scripted port of tests/fakes (engine and serial tests)
find_package(Iconv)

add_library(vantrel_kernel32 STATIC
  ${CMAKE_CURRENT_LIST_DIR}/comm.cpp
  ${CMAKE_CURRENT_LIST_DIR}/debug_output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/errno_map.cpp
  ${CMAKE_CURRENT_LIST_DIR}/error.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/handle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process.cpp
  ${CMAKE_CURRENT_LIST_DIR}/utf8.cpp)
target_link_libraries(vantrel_kernel32 PUBLIC Threads::Threads)
# glibc carries iconv itself; elsewhere it is a library of its own.
if(Iconv_FOUND AND NOT Iconv_IS_BUILT_IN)
  target_link_libraries(vantrel_kernel32 PUBLIC Iconv::Iconv)
endif()

# An opener and vantrel_kernel32 call each other: link both, as one link
# group ($<LINK_GROUP:RESCAN,...>) or the opener first. The --undefined makes
# the linker take the opener's object even when the opener is listed first
# and nothing before it asks for OpenCommDevice yet. The opener does not list
# vantrel_kernel32 itself, so that a link group naming both stays the only
# place vantrel_kernel32 appears.
function(vantrel_comm_opener target)
  target_link_libraries(${target} PUBLIC Threads::Threads)
  target_link_options(${target} INTERFACE "LINKER:--undefined=VantrelCommOpenerLinked")
endfunction()

add_library(vantrel_comm_tty STATIC
  ${CMAKE_CURRENT_LIST_DIR}/termios2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tty.cpp)
vantrel_comm_opener(vantrel_comm_tty)
