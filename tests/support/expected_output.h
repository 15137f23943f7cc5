// Expected console bytes, written out from the output's documented shape so
// that tests compare whole outputs byte for byte.
#pragma once

#include <string>

namespace expected {

inline std::string Repeat(char c, size_t n) { return std::string(n, c); }

// The banner box: 79 columns, the text centred with the odd blank on the right.
inline std::string Banner(const std::string &text)
{
    size_t freeColumns = 77 - text.size();
    size_t left = freeColumns / 2;
    return "\r\n\xDA" + Repeat('\xC4', 77) + "\xBF\r\n" + "\xB3" + Repeat(' ', left) + text +
           Repeat(' ', freeColumns - left) + "\xB3\r\n" + "\xC0" + Repeat('\xC4', 77) + "\xD9";
}

inline std::string ToolBanner() { return Banner("CAN Bootloader for LPC11Cxx Microcontrollers"); }

// A status line: line break, tee, two blanks, the text padded to 64 columns.
inline std::string Status(const std::string &text)
{
    return "\r\n\xC3  " + text + (text.size() < 64 ? Repeat(' ', 64 - text.size()) : std::string());
}

} // namespace expected
