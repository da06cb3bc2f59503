include_guard(GLOBAL)
# vantrel_setupapi_fake: a scripted device set linked in place of
# vantrel_setupapi by tests of the device lookups, and in a Windows build in
# place of the system's setupapi and cfgmgr32.
add_library(vantrel_setupapi_fake STATIC ${CMAKE_CURRENT_LIST_DIR}/setupapi.cpp)
target_include_directories(vantrel_setupapi_fake PUBLIC ${CMAKE_SOURCE_DIR})
if(WIN32)
  # The fake defines the functions the system headers declare as imported.
  target_compile_definitions(vantrel_setupapi_fake PRIVATE _SETUPAPI_ _CFGMGR32_)
endif()
