#include "app/results.h"

namespace
{

// Indexed by -code, from RC_OK (0) to RC_START_ADDRESS_UNALIGNED (-21).
const char *const RESULT_MESSAGES[] = {
    "Action successfull!",                                       //   0 RC_OK
    "CAN Interface could not be opened!",                        //  -1 RC_CAN_OPEN_FAILED
    "Firmware binary file could not be loaded!",                 //  -2 RC_FILE_LOAD_FAILED
    "Firmware too big for Flash Memory!",                        //  -3 RC_FILE_TOO_BIG
    "Reading of Part ID failed after timeout!",                  //  -4 RC_PART_ID_TIMEOUT
    "Chip to be programmed was not identified as LPC11C24!",     //  -5 RC_WRONG_PART
    "Unlock failed!",                                            //  -6 RC_UNLOCK_FAILED
    "Sector(s) could not be prepared for erasing!",              //  -7 RC_PREPARE_ERASE_FAILED
    "Sector(s) could not be erased!",                            //  -8 RC_ERASE_FAILED
    "Download to RAM failed!",                                   //  -9 RC_RAM_WRITE_FAILED
    "Sector(s) could not be prepared for writing!",              // -10 RC_PREPARE_WRITE_FAILED
    "Data could not be copied from RAM to Flash!",               // -11 RC_COPY_FAILED
    "User Program could not be executed!",                       // -12 RC_EXECUTE_FAILED
    "Not connected to CAN Transceiver!",                         // -13 RC_NOT_CONNECTED
    "No answer after Reinvoking ISP! (This is good, probably!)", // -14 RC_NO_REINVOKE_ANSWER
    "Data in Flash and RAM not equal!",                          // -15 RC_COMPARE_FAILED
    "Data could not be verified correctly!",                     // -16 RC_VERIFY_FAILED
    "Data could not read!",                                      // -17 RC_READ_FAILED
    "Action interrupted!",                                       // -18 RC_INTERRUPTED
    "Output file could not be written!",                         // -19 RC_FILE_WRITE_FAILED
    "CAN Interface could not be closed!",                        // -20 RC_CLOSE_FAILED
    "Start Address must be a multiple of 4!",                    // -21 RC_START_ADDRESS_UNALIGNED
    "Sector(s) could not be prepared for erasing!",              // -22 RC_OFFSET_BEYOND_FLASH
    "Image would lock the chip: code read protection refused!",  // -23 RC_CRP_REFUSED
    "Malformed Argument!",                                       // -24 RC_COMMAND_LINE_REFUSED
};

constexpr int RESULT_COUNT = static_cast<int>(sizeof(RESULT_MESSAGES) / sizeof(RESULT_MESSAGES[0]));
static_assert(RESULT_COUNT == 25, "one entry per code from 0 to -24");

} // namespace

const char *APP_ResultMessage(int result)
{
    if (result > 0 || result <= -RESULT_COUNT)
        return nullptr;
    return RESULT_MESSAGES[-result];
}

int APP_ExitStatusFor(int result)
{
    switch (result) {
    case RC_OK:
    // The bootloader restarts on this request and need not answer it: the
    // expected outcome, as its message says.
    case RC_NO_REINVOKE_ANSWER:
        return EXIT_SUCCESS_STATUS;
    case RC_FILE_LOAD_FAILED:
    case RC_FILE_TOO_BIG:
    case RC_OFFSET_BEYOND_FLASH:
    case RC_START_ADDRESS_UNALIGNED:
    case RC_FILE_WRITE_FAILED:
    case RC_CRP_REFUSED:
    case RC_COMMAND_LINE_REFUSED:
        return EXIT_REFUSED;
    case RC_CAN_OPEN_FAILED:
    case RC_PART_ID_TIMEOUT:
    case RC_CLOSE_FAILED:
        return EXIT_NO_INTERFACE;
    case RC_INTERRUPTED:
        return EXIT_INTERRUPTED;
    default:
        return EXIT_FAILED;
    }
}
