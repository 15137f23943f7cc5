#include "isp/sdo_transport.h"

#include <cstring>

#include "can/can.h"
#include "platform/platform.h"

uint8_t g_sdoToggle = 0;

namespace
{

constexpr uint8_t SDO_FRAME_LENGTH = 8;
constexpr uint8_t SDO_TX_BUFFER = 0;

// The fast path sends a request together with the first look for its reply:
// SDO_SendRequest and SDO_SendSegment keep it until SDO_WaitReply.
CanMessage g_request;
bool g_requestHeld = false;

int holdOrTransmit(const CanMessage &message)
{
    if (!CAN_FastPath())
        return CAN_Transmit(SDO_TX_BUFFER, message);
    g_request = message;
    g_requestHeld = true;
    return 0;
}

// The confirmation a request gets when the bootloader takes it: its bus time
// tells the fast path how long to wait before the first look.
CanMessage expectedReply(uint32_t cobId, const CanMessage &request)
{
    uint8_t data[SDO_FRAME_LENGTH] = {};
    const uint8_t command = request.data[0];
    switch (command >> 5) {
    case SDO_CCS_DOWNLOAD_SEGMENT:
        data[0] = static_cast<uint8_t>((SDO_SCS_DOWNLOAD_SEGMENT << 5) | (command & 0x10));
        break;
    case SDO_CCS_INITIATE_DOWNLOAD:
        data[0] = SDO_SCS_INITIATE_DOWNLOAD << 5;
        std::memcpy(data + 1, request.data + 1, 3);
        break;
    case SDO_CCS_UPLOAD_SEGMENT:
        // A segment with the request's toggle; its data is not known before
        // it comes. With zeros the frame takes 126 bits: as many as with
        // erased flash or more, and a few fewer than the most any data takes.
        data[0] = static_cast<uint8_t>((SDO_SCS_UPLOAD_SEGMENT << 5) | (command & 0x10));
        break;
    default: // initiate uploads: the value is not known before it comes
        data[0] = request.data[0];
        std::memcpy(data + 1, request.data + 1, 3);
        break;
    }
    return CanMessage(cobId, 0, 0, SDO_FRAME_LENGTH, data);
}

bool isReply(const CanMessage &message, uint32_t cobId)
{
    return message.id == cobId && message.extended == 0 && message.remote == 0;
}

} // namespace

int SDO_SendRequest(uint32_t cobId, const SdoFrame *frame)
{
    // After a request to stop nothing new goes to the chip: the exchange in
    // flight has ended, and the run takes the controller off the bus.
    if (PLAT_Interrupted())
        return SDO_INTERRUPTED;
    uint8_t field[SDO_FRAME_LENGTH];
    std::memcpy(field, frame, SDO_FRAME_LENGTH);
    // The n data bytes that carry nothing go out as zero whatever the frame holds.
    uint8_t empty = (frame->command >> 2) & 3u;
    for (uint8_t i = 0; i < empty; ++i)
        field[SDO_FRAME_LENGTH - 1 - i] = 0;
    return holdOrTransmit(CanMessage(cobId, 0, 0, SDO_FRAME_LENGTH, field));
}

int SDO_SendSegment(uint32_t cobId, uint8_t ccs, uint8_t last, uint8_t count, const uint8_t *source)
{
    if (PLAT_Interrupted())
        return SDO_INTERRUPTED;
    if (count > SDO_SEGMENT_MAX_DATA)
        count = SDO_SEGMENT_MAX_DATA;
    uint8_t field[SDO_FRAME_LENGTH] = {};
    field[0] = static_cast<uint8_t>(((ccs & 7u) << 5) | ((g_sdoToggle & 1u) << 4) |
                                    ((SDO_SEGMENT_MAX_DATA - count) << 1) | (last & 1u));
    if (count > 0)
        std::memcpy(field + 1, source, count);
    g_sdoToggle ^= 1u;
    if (last == 1)
        g_sdoToggle = 0;
    return holdOrTransmit(CanMessage(cobId, 0, 0, SDO_FRAME_LENGTH, field));
}

int SDO_WaitReply(uint32_t cobId, SdoFrame *frame)
{
    CanMessage message;
    if (CAN_FastPath()) {
        // No request held: nothing was sent, so no reply can come.
        if (!g_requestHeld)
            return -1;
        g_requestHeld = false;
        if (CAN_Exchange(g_request, expectedReply(cobId, g_request), cobId, &message) != 0)
            return -1;
        std::memcpy(frame, message.data, SDO_FRAME_LENGTH);
        return 0;
    }
    bool received = false;
    // A buffer whose read failed holds no frame the tool can trust: its header
    // may name the reply while its data bytes never arrived (and an abort
    // read as zeros would confirm the step). The reply is lost, and so is
    // the wait.
    bool lost = false;
    auto readReply = [&](uint8_t buffer) {
        lost = CAN_ReadMessage(buffer, &message) != 0;
        received = !lost && isReply(message, cobId);
    };
    for (uint32_t poll = 0; poll < SDO_REPLY_POLLS && !received && !lost; ++poll) {
        int8_t which = -1;
        // A status read that failed came back after the USB read time-out
        // (an engine that stopped answering) or not at all: the next polls
        // would each wait that time-out again, for nothing the tool could
        // trust. The wait ends with the first.
        if (CAN_GetRxStatus(&which, nullptr, nullptr, nullptr) != 0)
            return -1;
        PLAT_SleepMs(SDO_POLL_PAUSE_MS);
        if (which == 0 || which == 1) {
            readReply(static_cast<uint8_t>(which));
        } else if (which == 2) {
            readReply(0);
            if (!received && !lost)
                readReply(1);
        }
    }
    if (!received)
        return -1;
    std::memcpy(frame, message.data, SDO_FRAME_LENGTH);
    return 0;
}

void SDO_ResetForTest()
{
    g_sdoToggle = 0;
    g_requestHeld = false;
}
