// Console output of every layer: the banner, status lines, printf-style
// text, frame characters, the formatting of a line into a layer's own buffer,
// and the verbosity level. Every layer may include this; it includes none of
// them (only platform/, for the console's bytes).
#pragma once

#include <cstddef>
#include <cstdint>

// Code page 437 frame characters.
constexpr uint8_t CP437_CORNER_DOWN_RIGHT = 218; // banner, top left
constexpr uint8_t CP437_HORIZONTAL = 196;        // banner, top and bottom edges
constexpr uint8_t CP437_CORNER_DOWN_LEFT = 191;  // banner, top right
constexpr uint8_t CP437_VERTICAL = 179;          // banner, left and right edges
constexpr uint8_t CP437_CORNER_UP_RIGHT = 192;   // banner, bottom left
constexpr uint8_t CP437_CORNER_UP_LEFT = 217;    // banner, bottom right
constexpr uint8_t CP437_TEE = 195;               // start of every status line
constexpr uint8_t CP437_FULL_BLOCK = 219;        // progress bar

constexpr size_t MESSAGE_SIZE = 80;        // g_message: 79 characters and the terminator
constexpr uint32_t BANNER_INTERIOR = 77;   // columns inside the banner's frame
constexpr uint32_t STATUS_TEXT_FIELD = 64; // a status text is padded to this width

extern uint8_t g_verbosity;

// Bytes before the terminating zero; 0 for an empty (or absent) text.
uint32_t APP_TextLength(const char *text);
// The boxed banner around a text of at most 77 characters; no line break after it.
void APP_PrintBanner(const char *text);
// "\r\n", the tee, two blanks, the text padded to 64 columns.
void APP_PrintStatus(const char *text);
// Formats into buffer (MESSAGE_SIZE bytes) and returns the characters written.
// A text that does not fit is cut to 79 characters ending in "...".
int APP_Format(char *buffer, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// printf-style output with no status framing (reply printouts, data dumps).
void APP_Print(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A frame character (CP437_*) count times.
void APP_PrintFrame(uint8_t cp437, uint32_t count);
