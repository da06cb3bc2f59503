include_guard(GLOBAL)
# vantrel_setupapi_fake: a scripted device set linked in place of
# vantrel_setupapi by tests of the device lookups.
add_library(vantrel_setupapi_fake STATIC ${CMAKE_CURRENT_LIST_DIR}/setupapi.cpp)
target_include_directories(vantrel_setupapi_fake PUBLIC ${CMAKE_SOURCE_DIR})
