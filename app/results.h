// The result codes of the run and their final messages.
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
    // -18 and -19 are unassigned and have no message.
    RC_CLOSE_FAILED = -20,
    RC_START_ADDRESS_UNALIGNED = -21,
};

// The final message for a result; nullptr for a code without one.
const char *APP_ResultMessage(int result);
