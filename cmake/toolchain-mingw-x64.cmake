# Cross-compiling for 64-bit Windows with mingw-w64 (x86_64-w64-mingw32).
set(VANTREL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VANTREL_WINDOWS_ARCH amd64 CACHE STRING "processorArchitecture of the manifest")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
