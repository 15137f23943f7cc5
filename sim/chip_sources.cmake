# The board's chip (the LPC11C24 in its C_CAN ISP bootloader) and its log.
# Linked into the board beside the bus, in the library that sim/bus_sources.cmake
# defines; without that library, a library of its own.
get_property(_simchip_added GLOBAL PROPERTY SIMCHIP_SOURCES_ADDED)
if(_simchip_added)
  return()
endif()
set_property(GLOBAL PROPERTY SIMCHIP_SOURCES_ADDED TRUE)

set(_simchip_sources
  ${CMAKE_CURRENT_LIST_DIR}/lpc_isp_chip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lpc_isp_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lpc_isp_memory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lpc_isp_sdo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lpc_isp_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/records_chip.cpp
)
if(TARGET simbus)
  target_sources(simbus PRIVATE ${_simchip_sources})
else()
  add_library(simchip STATIC ${_simchip_sources})
  target_include_directories(simchip PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
  set_target_properties(simchip PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON)
endif()
