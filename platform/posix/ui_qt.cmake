# vantrel_ui_qt: the window back end that shows the window system's windows as
# Qt 6 widgets. Only this library includes Qt headers. Without Qt the option
# is reported and nothing is defined, so a configure never fails for it.
if(VANTREL_QT)
  find_package(Qt6 QUIET COMPONENTS Widgets)
  if(Qt6Widgets_FOUND)
    add_library(vantrel_ui_qt STATIC
      ${CMAKE_CURRENT_LIST_DIR}/qt/application.cpp
      ${CMAKE_CURRENT_LIST_DIR}/qt/dialog_units.cpp
      ${CMAKE_CURRENT_LIST_DIR}/qt/driver.cpp
      ${CMAKE_CURRENT_LIST_DIR}/qt/event_wait.cpp
      ${CMAKE_CURRENT_LIST_DIR}/qt/icon.cpp
      ${CMAKE_CURRENT_LIST_DIR}/qt/input_filter.cpp
      ${CMAKE_CURRENT_LIST_DIR}/qt/message_box.cpp
      ${CMAKE_CURRENT_LIST_DIR}/qt/mirror.cpp
      ${CMAKE_CURRENT_LIST_DIR}/qt/screenshot.cpp
      ${CMAKE_CURRENT_LIST_DIR}/qt/widgets.cpp)
    target_link_libraries(vantrel_ui_qt PUBLIC Qt6::Widgets Threads::Threads)
  else()
    message(STATUS "Qt 6 Widgets not found: vantrel_ui_qt and the Vantrel window are not built")
  endif()
endif()
