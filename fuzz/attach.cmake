# Builds fuzz/ inside a normal configure of the project without a line in the top-level
# CMakeLists.txt: cmake ... -DCMAKE_PROJECT_INCLUDE=<this file> (fuzz/run.sh does this).
include_guard(GLOBAL)
# A configure that turns BRISCA_FUZZ on adds fuzz/ itself.
if(PROJECT_NAME STREQUAL "Brisca" AND NOT BRISCA_FUZZ)
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR} ${CMAKE_BINARY_DIR}/fuzz)
endif()
