#include "isp/isp_commands.h"

#include <cstring>

#include "console/console.h"
#include "can/can.h"
#include "isp/sdo_transport.h"

namespace
{

// The ISP client's own line buffer: the label of a data segment's reply.
char g_ispLabel[MESSAGE_SIZE] = "";

// Object dictionary entries of the bootloader.
constexpr uint16_t OD_IDENTITY = 0x1018; // sub 2: part identification
constexpr uint16_t OD_UNLOCK = 0x5000;
constexpr uint16_t OD_REINVOKE_ISP = 0x5001;
constexpr uint16_t OD_READ_ADDRESS = 0x5010;
constexpr uint16_t OD_READ_LENGTH = 0x5011;
constexpr uint16_t OD_RAM_WRITE_ADDRESS = 0x5015;
constexpr uint16_t OD_PREPARE_SECTORS = 0x5020;
constexpr uint16_t OD_ERASE_SECTORS = 0x5030;
constexpr uint16_t OD_COPY_RAM_TO_FLASH = 0x5050; // sub 1 flash, 2 RAM, 3 size
constexpr uint16_t OD_COMPARE = 0x5060;           // sub 1 flash, 2 RAM, 3 size, 4 offset
constexpr uint16_t OD_EXECUTE_ADDRESS = 0x5070;
constexpr uint16_t OD_PROGRAM_DATA = 0x1F50;    // sub 1: segmented download
constexpr uint16_t OD_PROGRAM_CONTROL = 0x1F51; // sub 1: 1 starts the program

constexpr uint8_t ISP_PROGRAM_START = 0x01;
// A compare that fails answers with an abort whose code has COMPARE_ERROR in byte 4.
constexpr uint8_t ISP_COMPARE_ERROR_BYTE = 0x0A;

// The answer that opens a memory read: a segmented upload with its size in bytes 4-7.
constexpr uint8_t SDO_UPLOAD_SIZE_INDICATED = (SDO_SCS_INITIATE_UPLOAD << 5) | 0x01;
constexpr uint8_t SDO_TOGGLE_BIT = 0x10;
constexpr uint32_t ISP_WORD = 4;

// One request and its reply: -1 when the request could not be sent or its
// reply did not come, otherwise the reply's status (0 when it confirmed).
int transferStep(SdoFrame *frame, const char *label)
{
    if (SDO_SendRequest(SDO_REQUEST_COB_ID, frame) != 0)
        return -1;
    if (SDO_WaitReply(SDO_REPLY_COB_ID, frame) != 0)
        return -1;
    return SDO_PrintReply(label, frame);
}

int upload(SdoFrame *frame, uint16_t index, uint8_t sub, const char *label)
{
    SDO_BuildFrame(frame, SDO_CCS_INITIATE_UPLOAD, 0, index, sub, 0);
    return transferStep(frame, label);
}

int download32(SdoFrame *frame, uint16_t index, uint8_t sub, uint32_t value, const char *label)
{
    SDO_BuildFrame(frame, SDO_CCS_INITIATE_DOWNLOAD, 1, index, sub, 4, static_cast<int>(value & 0xFF),
                   static_cast<int>((value >> 8) & 0xFF), static_cast<int>((value >> 16) & 0xFF),
                   static_cast<int>((value >> 24) & 0xFF));
    return transferStep(frame, label);
}

int download16(SdoFrame *frame, uint16_t index, uint8_t sub, uint32_t value, const char *label)
{
    SDO_BuildFrame(frame, SDO_CCS_INITIATE_DOWNLOAD, 1, index, sub, 2, static_cast<int>(value & 0xFF),
                   static_cast<int>((value >> 8) & 0xFF));
    return transferStep(frame, label);
}

int download8(SdoFrame *frame, uint16_t index, uint8_t sub, uint8_t value, const char *label)
{
    SDO_BuildFrame(frame, SDO_CCS_INITIATE_DOWNLOAD, 1, index, sub, 1, static_cast<int>(value));
    return transferStep(frame, label);
}

// Copy and compare: the flash address, the RAM address and the byte count
// in sub-indices 1, 2 and 3; the chip carries the command out at the count.
// A parameter the chip refused keeps the value of an earlier command, so the
// command stops there: the count would start it with that stale value.
int flashRamCount(SdoFrame *frame, uint16_t index, const char *const labels[3], uint32_t flashAddress,
                  uint32_t ramAddress, uint32_t size)
{
    int status = download32(frame, index, 1, flashAddress, labels[0]);
    if (status == 0)
        status = download32(frame, index, 2, ramAddress, labels[1]);
    if (status == 0)
        status = download16(frame, index, 3, size, labels[2]);
    return status;
}

int sectorCommand(uint16_t index, const char *label, uint32_t startSector, uint32_t endSector)
{
    SdoFrame frame;
    SDO_BuildFrame(&frame, SDO_CCS_INITIATE_DOWNLOAD, 1, index, 0, 2, static_cast<int>(startSector & 0xFF),
                   static_cast<int>(endSector & 0xFF));
    return transferStep(&frame, label);
}

// A memory read parameter: confirmed only by the download reply for its entry.
int readParameter(SdoFrame *frame, uint16_t index, uint32_t value, const char *label)
{
    int status = download32(frame, index, 0, value, label);
    if (status == 0 &&
        ((frame->command >> 5) != SDO_SCS_INITIATE_DOWNLOAD || frame->index != index || frame->subIndex != 0))
        return -1;
    return status;
}

// The status a reply that broke off a read ends it with: an abort's error
// code, -1 for anything else (an abort that says success included).
int brokenOff(int status) { return status != 0 ? status : -1; }

void printBarHeader()
{
    APP_Print("\r\n0%%");
    for (int i = 0; i < 73; ++i)
        APP_Print(" ");
    APP_Print("100%%\r\n[");
}

// The seven byte fields of a dump line: bytes past the data show what the
// segment carries there, zero.
void printDump(const char *format, uint32_t offset, const uint8_t *source, uint32_t available)
{
    uint8_t bytes[SDO_SEGMENT_MAX_DATA] = {};
    if (available > 0)
        std::memcpy(bytes, source + offset, available < SDO_SEGMENT_MAX_DATA ? available : SDO_SEGMENT_MAX_DATA);
    APP_Print(format, offset, offset + SDO_SEGMENT_MAX_DATA, bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5],
              bytes[6]);
}

} // namespace

uint32_t ISP_BarStepBlocks(uint32_t size)
{
    double q = static_cast<double>(ISP_BAR_WIDTH) / size;
    return static_cast<uint32_t>(q * 7.0 + 1.0);
}

uint32_t ISP_BarStepPosition(uint32_t size, uint32_t next)
{
    double q = static_cast<double>(ISP_BAR_WIDTH) / size;
    return static_cast<uint32_t>(next * q);
}

uint32_t ISP_BarCompletionBlocks(uint32_t size, uint32_t rest)
{
    if (size == 0)
        return 0;
    uint32_t m = static_cast<uint32_t>(rest * (78.0 / size) + 0.5);
    return m > 1 ? m - 1 : 0;
}

int ISP_ReadPartId(uint32_t *partId)
{
    SdoFrame frame;
    SDO_BuildFrame(&frame, SDO_CCS_INITIATE_UPLOAD, 0, OD_IDENTITY, 2, 0);
    if (SDO_SendRequest(SDO_REQUEST_COB_ID, &frame) != 0 || SDO_WaitReply(SDO_REPLY_COB_ID, &frame) != 0)
        return -1;
    *partId = SDO_GetValue(&frame);
    return SDO_PrintReply("Read Part ID", &frame);
}

int ISP_Unlock(uint32_t code)
{
    SdoFrame frame;
    return download16(&frame, OD_UNLOCK, 0, code, "Unlock");
}

int ISP_PrepareSectors(uint32_t startSector, uint32_t endSector)
{
    return sectorCommand(OD_PREPARE_SECTORS, "Prepare Sector", startSector, endSector);
}

int ISP_EraseSectors(uint32_t startSector, uint32_t endSector)
{
    return sectorCommand(OD_ERASE_SECTORS, "Erase Sector", startSector, endSector);
}

int ISP_CopyRamToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t size)
{
    SdoFrame frame;
    const char *const labels[3] = {"Write Destination Address", "Write Source Address", "Write Copy Size"};
    return flashRamCount(&frame, OD_COPY_RAM_TO_FLASH, labels, flashAddress, ramAddress, size);
}

int ISP_Compare(uint32_t flashAddress, uint32_t ramAddress, uint32_t size)
{
    SdoFrame frame;
    const char *const labels[3] = {"Write Flash Address", "Write RAM Address", "Write Compare Size"};
    int status = flashRamCount(&frame, OD_COMPARE, labels, flashAddress, ramAddress, size);
    // Only the reply to the count carries the compare's result: a refused
    // address ends the command before the chip compared anything.
    if (status != -1 && frame.subIndex == 3 && frame.data[0] == ISP_COMPARE_ERROR_BYTE) {
        int offsetStatus = upload(&frame, OD_COMPARE, 4, "Read Offset");
        if (offsetStatus == -1)
            return -1;
        APP_Print("Offset: 0x%02X 0x%02X 0x%02X 0x%02X\n", frame.data[0], frame.data[1], frame.data[2], frame.data[3]);
        status = CAN_AddStatus(status, offsetStatus);
    }
    return status;
}

int ISP_Execute(uint32_t address)
{
    SdoFrame frame;
    int status = download32(&frame, OD_EXECUTE_ADDRESS, 1, address, "Write Execution Address");
    // A refused address leaves the previous one: never start the program there.
    if (status == 0)
        status = download8(&frame, OD_PROGRAM_CONTROL, 1, ISP_PROGRAM_START, "Trigger Execution");
    return status;
}

int ISP_ReinvokeIsp()
{
    SdoFrame frame;
    return download8(&frame, OD_REINVOKE_ISP, 0, 0x00, "Reinvoke ISP");
}

int ISP_WriteToRam(uint32_t ramAddress, uint32_t size, const uint8_t *source)
{
    SdoFrame frame;
    // A refused address or size: the data would go where an earlier write
    // pointed, or into a transfer the chip did not open.
    int status = download32(&frame, OD_RAM_WRITE_ADDRESS, 0, ramAddress, "Write RAM Start Address");
    if (status != 0)
        return status;
    SDO_BuildFrame(&frame, SDO_CCS_INITIATE_DOWNLOAD, 0, OD_PROGRAM_DATA, 1, 4, static_cast<int>(size & 0xFF),
                   static_cast<int>((size >> 8) & 0xFF), static_cast<int>((size >> 16) & 0xFF),
                   static_cast<int>((size >> 24) & 0xFF));
    status = transferStep(&frame, "Write Size of Data");
    if (status != 0)
        return status;

    const bool bar = g_verbosity == 1;
    uint32_t drawn = 0;
    if (bar)
        printBarHeader();

    uint32_t offset = 0;
    while (size - offset > SDO_SEGMENT_MAX_DATA) {
        if (g_verbosity >= 4)
            printDump("\r\n Uploading data [0x%04X-0x%04X] : 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X", offset,
                      source, SDO_SEGMENT_MAX_DATA);
        if (SDO_SendSegment(SDO_REQUEST_COB_ID, SDO_CCS_DOWNLOAD_SEGMENT, 0, SDO_SEGMENT_MAX_DATA, source + offset) !=
            0)
            return -1;
        if (SDO_WaitReply(SDO_REPLY_COB_ID, &frame) != 0)
            return -1;
        APP_Format(g_ispLabel, "Write Data Bytes [0x%04X-0x%04X]", offset, offset + SDO_SEGMENT_MAX_DATA);
        // Replies to intermediate segments are shown, not counted.
        SDO_PrintReply(g_ispLabel, &frame);
        if (bar) {
            uint32_t position = ISP_BarStepPosition(size, offset + SDO_SEGMENT_MAX_DATA);
            if (position > drawn) {
                APP_PrintFrame(CP437_FULL_BLOCK, ISP_BarStepBlocks(size));
                drawn = position;
            }
        }
        offset += SDO_SEGMENT_MAX_DATA;
    }

    const uint32_t rest = size - offset;
    if (g_verbosity >= 4)
        printDump("\r\n Uploading data[0x%04X-0x%04X] : 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X\r\n", offset,
                  source, rest);
    if (SDO_SendSegment(SDO_REQUEST_COB_ID, SDO_CCS_DOWNLOAD_SEGMENT, 1, static_cast<uint8_t>(rest), source + offset) !=
        0)
        return -1;
    if (SDO_WaitReply(SDO_REPLY_COB_ID, &frame) != 0)
        return -1;
    if (bar) {
        APP_PrintFrame(CP437_FULL_BLOCK, ISP_BarCompletionBlocks(size, rest));
        APP_Print("]");
    }
    APP_Format(g_ispLabel, "Write Data Bytes [0x%04X-0x%04X]", offset, size);
    return SDO_PrintReply(g_ispLabel, &frame);
}

int ISP_ReadMemory(uint32_t address, uint32_t size, uint8_t *buffer)
{
    if (address % ISP_WORD != 0)
        return ISP_ADDR_ERROR;
    if (size % ISP_WORD != 0)
        return ISP_COUNT_ERROR;
    if (size == 0)
        return 0;
    SdoFrame frame;
    // A refused address or length leaves an earlier read's: nothing is read.
    int status = readParameter(&frame, OD_READ_ADDRESS, address, "Write Read Address");
    if (status == 0)
        status = readParameter(&frame, OD_READ_LENGTH, size, "Write Read Length");
    if (status != 0)
        return status;
    SDO_BuildFrame(&frame, SDO_CCS_INITIATE_UPLOAD, 0, OD_PROGRAM_DATA, 1, 0);
    status = transferStep(&frame, "Read Size of Data");
    if (status != 0 || frame.command != SDO_UPLOAD_SIZE_INDICATED || frame.index != OD_PROGRAM_DATA ||
        frame.subIndex != 1 || SDO_GetValue(&frame) != size)
        return brokenOff(status);

    const bool bar = g_verbosity == 1;
    uint32_t drawn = 0;
    if (bar)
        printBarHeader();
    const uint8_t *carried = reinterpret_cast<const uint8_t *>(&frame) + 1;
    uint32_t offset = 0;
    uint8_t toggle = 0;
    for (;;) {
        SDO_BuildFrame(&frame, SDO_CCS_UPLOAD_SEGMENT, 0, 0, 0, 0);
        frame.command = static_cast<uint8_t>(frame.command | toggle);
        if (SDO_SendRequest(SDO_REQUEST_COB_ID, &frame) != 0 || SDO_WaitReply(SDO_REPLY_COB_ID, &frame) != 0)
            return -1;
        const uint32_t asked = size - offset < SDO_SEGMENT_MAX_DATA ? size - offset : SDO_SEGMENT_MAX_DATA;
        APP_Format(g_ispLabel, "Read Data Bytes [0x%04X-0x%04X]", offset, offset + asked);
        status = SDO_PrintReply(g_ispLabel, &frame);
        const uint32_t count = SDO_SEGMENT_MAX_DATA - ((frame.command >> 1) & 7u);
        const bool last = (frame.command & 1u) != 0;
        // A segment of the wrong toggle repeats or skips one; more bytes than
        // are left would run past the buffer; an end before size bytes, or a
        // segment with nothing in it that does not end, leaves bytes unread.
        if ((frame.command >> 5) != SDO_SCS_UPLOAD_SEGMENT || (frame.command & SDO_TOGGLE_BIT) != toggle ||
            count > size - offset || (last ? offset + count != size : count == 0))
            return brokenOff(status);
        std::memcpy(buffer + offset, carried, count);
        if (g_verbosity >= 4)
            printDump("\r\n Downloading data [0x%04X-0x%04X] : 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X 0x%02X",
                      offset, buffer, count);
        offset += count;
        if (last) {
            if (bar) {
                APP_PrintFrame(CP437_FULL_BLOCK, ISP_BarCompletionBlocks(size, count));
                APP_Print("]");
            }
            return 0;
        }
        if (bar) {
            uint32_t position = ISP_BarStepPosition(size, offset);
            if (position > drawn) {
                APP_PrintFrame(CP437_FULL_BLOCK, ISP_BarStepBlocks(size));
                drawn = position;
            }
        }
        toggle ^= SDO_TOGGLE_BIT;
    }
}
