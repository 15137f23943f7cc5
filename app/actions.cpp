#include "app/actions.h"

#include "app/adapter.h"
#include "app/console.h"
#include "app/results.h"
#include "can/can.h"
#include "isp/isp_commands.h"
#include "platform/platform.h"

uint8_t g_connected = 0;

namespace
{

constexpr uint32_t FLASH_FIRST_SECTOR = 0;
constexpr uint32_t FLASH_LAST_SECTOR = 7; // eight 4096-byte sectors: 32 KB

bool connected() { return g_connected == 1; }

} // namespace

ResultCode APP_Connect(int32_t bitRate, uint32_t expectedPartId, const char *deviceSelector)
{
    APP_PrintStatus("Connecting to CAN Transceiver");
    if (deviceSelector != nullptr && APP_ChooseAdapter(deviceSelector) != RC_OK)
        return RC_CAN_OPEN_FAILED;
    if (CAN_Open(bitRate) != 0)
        return RC_CAN_OPEN_FAILED;

    if (g_verbosity >= 1)
        APP_PrintStatus("Searching LPC");
    uint32_t partId = 0;
    bool found = false;
    for (uint32_t attempt = 0; attempt < PART_ID_ATTEMPTS && !found; ++attempt) {
        if (PLAT_Interrupted())
            return RC_INTERRUPTED;
        // The fast path's attempts follow each other at once, each with its
        // reply wait of 1 s.
        if (!CAN_FastPath())
            PLAT_SleepMs(PART_ID_RETRY_DELAY_MS);
        if (g_verbosity >= 1)
            APP_Print(".");
        found = ISP_ReadPartId(&partId) == 0;
    }
    if (!found)
        return RC_PART_ID_TIMEOUT;
    if (g_verbosity == 1)
        APP_Print("OK");
    if (g_verbosity >= 2) {
        APP_Format(g_message, "Part ID read : %08X \t Expected : %08X", partId, expectedPartId);
        APP_PrintStatus(g_message);
    }
    if (partId != expectedPartId)
        return RC_WRONG_PART;
    if (g_verbosity >= 1)
        APP_PrintStatus("Correct LPC found!");
    g_connected = 1;
    return RC_OK;
}

ResultCode APP_Unlock(uint32_t unlockCode)
{
    if (!connected())
        return RC_NOT_CONNECTED;
    if (g_verbosity >= 2) {
        APP_Format(g_message, "Unlocking with code 0x%04X", unlockCode);
        APP_PrintStatus(g_message);
    }
    if (ISP_Unlock(unlockCode) != 0)
        return RC_UNLOCK_FAILED;
    if (g_verbosity >= 2)
        APP_PrintStatus("Unlock successfull!");
    return RC_OK;
}

ResultCode APP_ReinvokeIsp()
{
    if (!connected())
        return RC_NOT_CONNECTED;
    if (g_verbosity >= 2)
        APP_PrintStatus("Reinvoking ISP");
    // A bootloader that restarts on this request need not answer it.
    return ISP_ReinvokeIsp() != 0 ? RC_NO_REINVOKE_ANSWER : RC_OK;
}

ResultCode APP_EraseAll()
{
    if (!connected())
        return RC_NOT_CONNECTED;
    APP_PrintStatus("Erasing sectors");
    if (ISP_PrepareSectors(FLASH_FIRST_SECTOR, FLASH_LAST_SECTOR) != 0)
        return RC_PREPARE_ERASE_FAILED;
    if (g_verbosity >= 2)
        APP_PrintStatus("Sectors prepared for erasing!");
    if (ISP_EraseSectors(FLASH_FIRST_SECTOR, FLASH_LAST_SECTOR) != 0)
        return RC_ERASE_FAILED;
    if (g_verbosity >= 2)
        APP_PrintStatus("Sectors erased!");
    return RC_OK;
}

ResultCode APP_ResetChip()
{
    if (!connected())
        return RC_NOT_CONNECTED;
    APP_PrintStatus("Writing System Reset Sequence to RAM");
    if (ISP_WriteToRam(RAM_BUFFER_ADDRESS, sizeof(RESET_ROUTINE), RESET_ROUTINE) != 0)
        return RC_RAM_WRITE_FAILED;
    if (g_verbosity >= 2)
        APP_PrintStatus("Data written to RAM!");
    if (ISP_Execute(RAM_BUFFER_ADDRESS) != 0)
        return RC_EXECUTE_FAILED;
    if (g_verbosity >= 1)
        APP_PrintStatus("System Reset Sequence executed!");
    return RC_OK;
}

ResultCode APP_Go(uint32_t startAddress)
{
    if (!connected())
        return RC_NOT_CONNECTED;
    APP_Format(g_message, "Starting User Code from Address 0x%08X", startAddress);
    APP_PrintStatus(g_message);
    if (ISP_Execute(startAddress) != 0)
        return RC_EXECUTE_FAILED;
    if (g_verbosity >= 1)
        APP_PrintStatus("Execution of User Programm initiated!");
    return RC_OK;
}

ResultCode APP_Disconnect()
{
    if (!connected())
        return RC_NOT_CONNECTED;
    return CAN_Close() != 0 ? RC_CLOSE_FAILED : RC_OK;
}
