# Finds the Qt for Windows that scripts/build-qt-windows keeps in its cache, building it first when
# it is not there (about half an hour, once). moc, rcc and uic come from the host Qt of the same
# version. Qt6_DIR set by the caller takes precedence.
if(NOT Qt6_DIR)
  execute_process(
    COMMAND "${PROJECT_SOURCE_DIR}/scripts/build-qt-windows"
    OUTPUT_VARIABLE _flasher_qt_output
    RESULT_VARIABLE _flasher_qt_result
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _flasher_qt_result EQUAL 0)
    message(FATAL_ERROR "scripts/build-qt-windows failed: no Qt for Windows")
  endif()
  string(REGEX REPLACE ".*\n" "" FLASHER_QT_WINDOWS_PREFIX "${_flasher_qt_output}")
  set(FLASHER_QT_WINDOWS_PREFIX "${FLASHER_QT_WINDOWS_PREFIX}" CACHE PATH "Qt for Windows" FORCE)
  message(STATUS "Qt for Windows: ${FLASHER_QT_WINDOWS_PREFIX}")
else()
  get_filename_component(FLASHER_QT_WINDOWS_PREFIX "${Qt6_DIR}/../../.." ABSOLUTE)
endif()
list(APPEND CMAKE_PREFIX_PATH "${FLASHER_QT_WINDOWS_PREFIX}")
list(APPEND CMAKE_FIND_ROOT_PATH "${FLASHER_QT_WINDOWS_PREFIX}")
set(QT_HOST_PATH /usr CACHE PATH "The host Qt, whose moc, rcc and uic generate the code")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "The host Qt's CMake packages")
