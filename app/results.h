// The result codes of the run and their final messages.
//
// Every action and step of app/ returns a ResultCode: RC_OK, or the failure
// whose final message names the run (APP_ResultMessage). Callers test for
// RC_OK; --exit-code turns a code into the process's status
// (APP_ExitStatusFor).
#pragma once

enum ResultCode {
    RC_OK = 0,
    RC_CAN_OPEN_FAILED = -1,
    RC_FILE_LOAD_FAILED = -2,
    RC_FILE_TOO_BIG = -3,
    RC_PART_ID_TIMEOUT = -4,
    RC_WRONG_PART = -5,
    RC_UNLOCK_FAILED = -6,
    RC_PREPARE_ERASE_FAILED = -7,
    RC_ERASE_FAILED = -8,
    RC_RAM_WRITE_FAILED = -9,
    RC_PREPARE_WRITE_FAILED = -10,
    RC_COPY_FAILED = -11,
    RC_EXECUTE_FAILED = -12,
    RC_NOT_CONNECTED = -13,
    RC_NO_REINVOKE_ANSWER = -14,
    RC_COMPARE_FAILED = -15,
    RC_VERIFY_FAILED = -16,
    RC_READ_FAILED = -17,
    RC_INTERRUPTED = -18,       // a request to stop (Ctrl-C, SIGTERM, ...) ended the run
    RC_FILE_WRITE_FAILED = -19, // the read-back's file
    RC_CLOSE_FAILED = -20,
    RC_START_ADDRESS_UNALIGNED = -21,
    // An offset beyond the flash, refused before anything is sent; it prints
    // the prepare step's message, as it always has.
    RC_OFFSET_BEYOND_FLASH = -22,
    // An image that sets a code read protection level --allow-crp does not allow.
    RC_CRP_REFUSED = -23,
    // The command line asks for what cannot be done: "Malformed Argument!".
    RC_COMMAND_LINE_REFUSED = -24,
};

// The final message for a result; nullptr for a code without one.
const char *APP_ResultMessage(int result);

// Exit statuses with --exit-code. Without it a run ends with 0, but for the
// driver library's report (1) and an interrupted run (130).
constexpr int EXIT_SUCCESS_STATUS = 0;
constexpr int EXIT_FAILED = 1;       // a failure after the chip was reached
constexpr int EXIT_REFUSED = 2;      // the command line or the image file was refused
constexpr int EXIT_NO_INTERFACE = 3; // the interface did not open or close, or no chip answered
constexpr int EXIT_INTERRUPTED = 130;

// The --exit-code status of a run that ended with result.
int APP_ExitStatusFor(int result);
