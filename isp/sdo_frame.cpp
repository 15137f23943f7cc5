#include "isp/sdo_frame.h"

#include <cstdarg>

#include "console/console.h"

namespace
{

constexpr uint8_t SDO_MAX_EXPEDITED_BYTES = 4;
constexpr uint8_t SDO_SEGMENT_DATA_BYTES = 7;

// Indexed by the ISP error code 0-19.
const char UNKNOWN_ERROR_TEXT[] = "\r\n UNKNOWN_ERROR_CODE";
const char *const ISP_ERROR_TEXTS[] = {
    "\r\n NO_ERROR",                                //  0
    "\r\n INVALID_COMMAND",                         //  1
    "\r\n SRC_ADDR_ERROR",                          //  2
    UNKNOWN_ERROR_TEXT,                             //  3
    "\r\n SRC_ADDR_NOT_MAPPED",                     //  4
    "\r\n DST_ADDR_NOT_MAPPED",                     //  5
    "\r\n COUNT_ERROR",                             //  6
    "\r\n INVALID_SECTOR",                          //  7
    "\r\n SECTOR_NOT_BLANK",                        //  8
    "\r\n SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION", //  9
    "\r\n COMPARE_ERROR",                           // 10
    UNKNOWN_ERROR_TEXT,                             // 11
    "\r\n PARAM_ERROR",                             // 12
    "\r\n ADDR_ERROR",                              // 13
    "\r\n ADDR_NOT_MAPPED",                         // 14
    "\r\n CMD_LOCKED",                              // 15
    "\r\n INVALID_CODE",                            // 16
    UNKNOWN_ERROR_TEXT,                             // 17
    UNKNOWN_ERROR_TEXT,                             // 18
    "\r\n CODE_READ_PROTECTION_ENABLED",            // 19
};
constexpr uint32_t ISP_ERROR_TEXT_COUNT = sizeof(ISP_ERROR_TEXTS) / sizeof(ISP_ERROR_TEXTS[0]);
static_assert(ISP_ERROR_TEXT_COUNT == 20, "one entry per ISP error code 0-19");

} // namespace

const char *SDO_IspErrorText(uint32_t code)
{
    return code < ISP_ERROR_TEXT_COUNT ? ISP_ERROR_TEXTS[code] : UNKNOWN_ERROR_TEXT;
}

SdoFrame *SDO_BuildFrame(SdoFrame *frame, uint8_t ccs, uint8_t expedited, uint16_t index, uint8_t subIndex,
                         unsigned count, ...)
{
    if (count > SDO_MAX_EXPEDITED_BYTES)
        count = SDO_MAX_EXPEDITED_BYTES;

    uint8_t command = static_cast<uint8_t>(((ccs & 7u) << 5) | ((expedited & 1u) << 1));
    if (expedited == 1) {
        // n: the data bytes among 4-7 that carry nothing; s: size indicated.
        uint8_t empty = static_cast<uint8_t>((SDO_MAX_EXPEDITED_BYTES - count) % SDO_MAX_EXPEDITED_BYTES);
        command = static_cast<uint8_t>(command | (empty << 2) | 1u);
    } else if (expedited == 0 && ccs == SDO_CCS_INITIATE_DOWNLOAD) {
        // A segmented download indicates its total size in bytes 4-7.
        command = static_cast<uint8_t>(command | 1u);
    }
    frame->command = command;
    frame->index = index;
    frame->subIndex = subIndex;

    va_list values;
    va_start(values, count);
    for (uint8_t i = 0; i < SDO_MAX_EXPEDITED_BYTES; ++i)
        frame->data[i] = i < count ? static_cast<uint8_t>(va_arg(values, int)) : 0;
    va_end(values);
    return frame;
}

uint32_t SDO_GetValue(const SdoFrame *frame)
{
    return static_cast<uint32_t>(frame->data[0]) | (static_cast<uint32_t>(frame->data[1]) << 8) |
           (static_cast<uint32_t>(frame->data[2]) << 16) | (static_cast<uint32_t>(frame->data[3]) << 24);
}

int SDO_ClassifyReply(const SdoFrame *frame)
{
    if ((frame->command >> 5) != SDO_SCS_ABORT)
        return 0;
    return frame->data[3] == SDO_ABORT_ISP_ERROR_CLASS ? frame->data[0] : SDO_FOREIGN_ABORT;
}

int SDO_PrintReply(const char *label, const SdoFrame *frame)
{
    const int status = SDO_ClassifyReply(frame);
    if (g_verbosity < 2)
        return status;
    const uint8_t scs = frame->command >> 5;
    const unsigned index = frame->index;
    const unsigned sub = frame->subIndex;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(frame);

    APP_Print("\r\n Reply to '%s' : ", label != nullptr ? label : "");
    switch (scs) {
    case SDO_SCS_INITIATE_UPLOAD: {
        // The count comes from n alone, whatever e and s say.
        unsigned sent = SDO_MAX_EXPEDITED_BYTES - ((frame->command >> 2) & 3u);
        APP_Print("0x%03X|0x%02X sent %d bytes :", index, sub, static_cast<int>(sent));
        for (unsigned i = 0; i < sent; ++i)
            APP_Print(" 0x%02X", frame->data[i]);
        break;
    }
    case SDO_SCS_INITIATE_DOWNLOAD:
        APP_Print("0x%03X|0x%02X confirms download.", index, sub);
        break;
    case SDO_SCS_DOWNLOAD_SEGMENT:
        APP_Print("Acknowledge of upload.");
        break;
    case SDO_SCS_UPLOAD_SEGMENT: {
        unsigned carried = SDO_SEGMENT_DATA_BYTES - ((frame->command >> 1) & 7u);
        APP_Print("Downloaded %d bytes : ", static_cast<int>(carried));
        for (unsigned i = 0; i < carried; ++i)
            APP_Print(" 0x%02X", bytes[1 + i]);
        break;
    }
    case SDO_SCS_ABORT:
        APP_Print("0x%03X|0x%02X sent SDO Abort Code.", index, sub);
        if (status == SDO_FOREIGN_ABORT)
            APP_Print("\r\n 0x%02X 0x%02X 0x%02X 0x%02X", frame->data[0], frame->data[1], frame->data[2],
                      frame->data[3]);
        else
            APP_Print("%s", SDO_IspErrorText(frame->data[0]));
        break;
    default:
        APP_Print(" 0x%02X 0x%04X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X", frame->command, index, sub, frame->data[0],
                  frame->data[1], frame->data[2], frame->data[3]);
        break;
    }
    return status;
}
