# Cross-compiling for 32-bit Windows with mingw-w64 (i686-w64-mingw32).
set(VANTREL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VANTREL_WINDOWS_ARCH x86 CACHE STRING "processorArchitecture of the manifest")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
