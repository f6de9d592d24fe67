# The command line's usage text and the manual page wisplog(1), both made by
# tools/make_manual.py from packaging/wisplog.1.txt at build time: --help and
# the manual cannot say different things. Included from app/CMakeLists.txt.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(WISPLOG_MANUAL_SOURCE ${PROJECT_SOURCE_DIR}/packaging/wisplog.1.txt)
set(WISPLOG_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
set(WISPLOG_USAGE_HEADER ${WISPLOG_GENERATED_DIR}/app/UsageText.h)
set(WISPLOG_MANUAL ${PROJECT_BINARY_DIR}/wisplog.1)

add_custom_command(
  OUTPUT ${WISPLOG_USAGE_HEADER} ${WISPLOG_MANUAL} ${WISPLOG_MANUAL}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${WISPLOG_GENERATED_DIR}/app
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/make_manual.py ${WISPLOG_MANUAL_SOURCE}
          --version ${PROJECT_VERSION} --header ${WISPLOG_USAGE_HEADER} --manual ${WISPLOG_MANUAL}
  COMMAND gzip -9 -n -f -k ${WISPLOG_MANUAL}
  DEPENDS ${WISPLOG_MANUAL_SOURCE} ${PROJECT_SOURCE_DIR}/tools/make_manual.py
  COMMENT "Generating the usage text and the manual page from packaging/wisplog.1.txt"
  VERBATIM)
add_custom_target(wisplog_manual DEPENDS ${WISPLOG_MANUAL}.gz)

# Reading the command line needs neither Qt nor the window.
add_library(command_line STATIC CommandLine.cpp CommandLine.h ${WISPLOG_USAGE_HEADER})
target_include_directories(command_line PUBLIC ${PROJECT_SOURCE_DIR} ${WISPLOG_GENERATED_DIR})
add_dependencies(command_line wisplog_manual)
