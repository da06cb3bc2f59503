# vantrel_setupapi: the device-setup calls over sysfs (the present ports).
add_library(vantrel_setupapi STATIC
  ${CMAKE_CURRENT_LIST_DIR}/setupapi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_cache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sysfs_ports.cpp
)
# SetLastError is kernel32's; linked when that area is built.
if(TARGET vantrel_kernel32)
  target_link_libraries(vantrel_setupapi PUBLIC vantrel_kernel32)
endif()
