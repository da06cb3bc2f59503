# vantrel_user32: the window system (windows, built-in controls, queues and
# sent messages, timers, dialogs, message boxes, painting), independent of any
# toolkit. It calls the linked window back end through user32::Driver()
# (window_driver.h) and kernel32 for errors and thread ids; vantrel_ui_headless
# is the back end without a screen (headless.h has its test and runner
# controls). Executables link vantrel_user32, exactly one back end and
# vantrel_kernel32 as one link group, because they call each other; so none of
# these libraries lists another.
add_library(vantrel_user32 STATIC
  ${CMAKE_CURRENT_LIST_DIR}/commctrl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controls.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/input.cpp
  ${CMAKE_CURRENT_LIST_DIR}/message.cpp
  ${CMAKE_CURRENT_LIST_DIR}/msgbox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/paint.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window.cpp)
target_link_libraries(vantrel_user32 PUBLIC Threads::Threads)

add_library(vantrel_ui_headless STATIC
  ${CMAKE_CURRENT_LIST_DIR}/headless/driver.cpp)
target_link_libraries(vantrel_ui_headless PUBLIC Threads::Threads)
