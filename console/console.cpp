#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform.h"

uint8_t g_verbosity = 1;

namespace
{

const char LINE_BREAK[] = "\r\n";
const char TRUNCATION_MARK[] = "...";

void writeText(const char *text, size_t count) { PLAT_ConsoleWrite(text, count); }

void writeBlanks(uint32_t count)
{
    if (count == 0)
        return;
    std::vector<char> blanks(count, ' ');
    writeText(blanks.data(), blanks.size());
}

} // namespace

uint32_t APP_TextLength(const char *text)
{
    if (text == nullptr)
        return 0;
    uint32_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

void APP_PrintBanner(const char *text)
{
    uint32_t length = APP_TextLength(text);
    // A text wider than the box is printed whole; the frame then no longer closes.
    uint32_t freeColumns = length < BANNER_INTERIOR ? BANNER_INTERIOR - length : 0;
    uint32_t left = freeColumns / 2;
    uint32_t right = freeColumns - left;

    writeText(LINE_BREAK, 2);
    APP_PrintFrame(CP437_CORNER_DOWN_RIGHT, 1);
    APP_PrintFrame(CP437_HORIZONTAL, BANNER_INTERIOR);
    APP_PrintFrame(CP437_CORNER_DOWN_LEFT, 1);
    writeText(LINE_BREAK, 2);

    APP_PrintFrame(CP437_VERTICAL, 1);
    writeBlanks(left);
    writeText(text != nullptr ? text : "", length);
    writeBlanks(right);
    APP_PrintFrame(CP437_VERTICAL, 1);
    writeText(LINE_BREAK, 2);

    APP_PrintFrame(CP437_CORNER_UP_RIGHT, 1);
    APP_PrintFrame(CP437_HORIZONTAL, BANNER_INTERIOR);
    APP_PrintFrame(CP437_CORNER_UP_LEFT, 1);
}

void APP_PrintStatus(const char *text)
{
    uint32_t length = APP_TextLength(text);
    writeText(LINE_BREAK, 2);
    APP_PrintFrame(CP437_TEE, 1);
    writeText("  ", 2);
    writeText(text != nullptr ? text : "", length);
    if (length < STATUS_TEXT_FIELD)
        writeBlanks(STATUS_TEXT_FIELD - length);
}

int APP_Format(char *buffer, const char *format, ...)
{
    if (buffer == nullptr)
        return 0;
    va_list args;
    va_start(args, format);
    int wanted = std::vsnprintf(buffer, MESSAGE_SIZE, format, args);
    va_end(args);
    if (wanted < 0) {
        buffer[0] = '\0';
        return 0;
    }
    if (static_cast<size_t>(wanted) < MESSAGE_SIZE)
        return wanted;
    // Cut: make the cut visible rather than let a long file name pass for a
    // complete line.
    const size_t last = MESSAGE_SIZE - 1;
    const size_t mark = sizeof(TRUNCATION_MARK) - 1;
    std::memcpy(buffer + last - mark, TRUNCATION_MARK, mark);
    buffer[last] = '\0';
    return static_cast<int>(last);
}

void APP_Print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int wanted = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (wanted > 0) {
        std::vector<char> text(static_cast<size_t>(wanted) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        writeText(text.data(), static_cast<size_t>(wanted));
    }
    va_end(args);
}

void APP_PrintFrame(uint8_t cp437, uint32_t count) { PLAT_ConsoleWriteFrame(cp437, count); }
