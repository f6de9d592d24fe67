# Runs tools/make_sjis_tables.py and compares its output with the checked-in
# decode/SjisTables.cpp. Arguments: PYTHON, SOURCE_DIR, OUTPUT.
execute_process(
  COMMAND ${PYTHON} ${SOURCE_DIR}/tools/make_sjis_tables.py -o ${OUTPUT}
  WORKING_DIRECTORY ${SOURCE_DIR}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make_sjis_tables.py failed: ${status}")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E compare_files ${OUTPUT} ${SOURCE_DIR}/decode/SjisTables.cpp
  RESULT_VARIABLE differs)
if(NOT differs EQUAL 0)
  message(FATAL_ERROR "decode/SjisTables.cpp differs from the generator's output ${OUTPUT}; "
                      "regenerate it with: /usr/bin/python3 tools/make_sjis_tables.py -o decode/SjisTables.cpp")
endif()
message(STATUS "decode/SjisTables.cpp matches the generator")
