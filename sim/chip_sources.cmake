# The board's chip (the LPC11C24 in its C_CAN ISP bootloader) and its log,
# linked into the board beside the bus, in the library simbus that
# bus_sources.cmake defines (included before this file).
set(_simchip_sources
  ${CMAKE_CURRENT_LIST_DIR}/lpc_isp_chip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lpc_isp_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/records_chip.cpp
)
target_sources(simbus PRIVATE ${_simchip_sources})
