#include "platform/platform.h"

#include <clocale>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <langinfo.h>
#include <unistd.h>
#endif

namespace
{

std::string *g_capture = nullptr;
bool g_utf8Frames = false;

// Code page 437 box-drawing and block characters, with their Unicode spelling.
struct FrameGlyph {
    uint8_t cp437;
    const char *utf8;
};
constexpr FrameGlyph FRAME_GLYPHS[] = {
    {179, "\xE2\x94\x82"}, // U+2502 box vertical
    {191, "\xE2\x94\x90"}, // U+2510 corner down and left
    {192, "\xE2\x94\x94"}, // U+2514 corner up and right
    {195, "\xE2\x94\x9C"}, // U+251C vertical and right (tee)
    {196, "\xE2\x94\x80"}, // U+2500 box horizontal
    {217, "\xE2\x94\x98"}, // U+2518 corner up and left
    {218, "\xE2\x94\x8C"}, // U+250C corner down and right
    {219, "\xE2\x96\x88"}, // U+2588 full block
};

void writeStdout(const char *bytes, size_t count)
{
    if (count > 0)
        std::fwrite(bytes, 1, count, stdout);
    std::fflush(stdout);
}

bool equalsIgnoringCase(const char *a, const char *b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (ca != cb)
            return false;
    }
    return *a == *b;
}

} // namespace

bool PLAT_ChooseUtf8(bool isTerminal, const char *codeset)
{
    if (!isTerminal || codeset == nullptr)
        return false;
    return equalsIgnoringCase(codeset, "UTF-8") || equalsIgnoringCase(codeset, "utf8");
}

const char *PLAT_Cp437FrameToUtf8(uint8_t cp437)
{
    for (const FrameGlyph &glyph : FRAME_GLYPHS)
        if (glyph.cp437 == cp437)
            return glyph.utf8;
    return nullptr;
}

void PLAT_ConsoleInit()
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    // The Windows console shows code page 437 bytes as they are.
    g_utf8Frames = false;
#else
    // Read the user's codeset without leaving the locale changed for the rest
    // of the program.
    std::string previous;
    if (const char *current = std::setlocale(LC_CTYPE, nullptr))
        previous = current;
    const char *codeset = nullptr;
    std::string codesetCopy;
    if (std::setlocale(LC_CTYPE, "") != nullptr) {
        codeset = nl_langinfo(CODESET);
        if (codeset != nullptr) {
            codesetCopy = codeset;
            codeset = codesetCopy.c_str();
        }
    }
    if (!previous.empty())
        std::setlocale(LC_CTYPE, previous.c_str());
    g_utf8Frames = PLAT_ChooseUtf8(isatty(STDOUT_FILENO) == 1, codeset);
#endif
}

void PLAT_ConsoleWrite(const char *bytes, size_t count)
{
    if (g_capture != nullptr) {
        g_capture->append(bytes, count);
        return;
    }
    writeStdout(bytes, count);
}

void PLAT_ConsoleWriteFrame(uint8_t cp437, size_t count)
{
    if (count == 0)
        return;
    const char *utf8 = (g_capture == nullptr && g_utf8Frames) ? PLAT_Cp437FrameToUtf8(cp437) : nullptr;
    std::string run;
    if (utf8 != nullptr) {
        size_t width = std::strlen(utf8);
        run.reserve(width * count);
        for (size_t i = 0; i < count; ++i)
            run.append(utf8, width);
    } else {
        run.assign(count, static_cast<char>(cp437));
    }
    PLAT_ConsoleWrite(run.data(), run.size());
}

void PLAT_ConsoleCapture(std::string *sink) { g_capture = sink; }
