# The board's CAN controller, CAN bus and bus records, as one static library
# that the board links in (the chip joins it: chip_sources.cmake). Included
# by sim/CMakeLists.txt.

add_library(simbus STATIC
  ${CMAKE_CURRENT_LIST_DIR}/mcp2515.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mcp2515_can.cpp
  ${CMAKE_CURRENT_LIST_DIR}/can_bus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/records_bus.cpp
)
target_include_directories(simbus PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
# The number parser of the board's text formats.
target_link_libraries(simbus PUBLIC simrecords)
set_target_properties(simbus PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  POSITION_INDEPENDENT_CODE ON)
