// Expected console bytes, written out from the output's documented shape so
// that tests compare whole outputs byte for byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace expected
{

// The tool's banner box: 79 columns, the text centred with the odd blank on
// the right.
inline std::string ToolBanner()
{
    const std::string text = "CAN Bootloader for LPC11Cxx Microcontrollers", line(77, '\xC4');
    const size_t freeColumns = 77 - text.size(), left = freeColumns / 2;
    return "\r\n\xDA" + line + "\xBF\r\n\xB3" + std::string(left, ' ') + text + std::string(freeColumns - left, ' ') +
           "\xB3\r\n\xC0" + line + "\xD9";
}

// A status line: line break, tee, two blanks, the text padded to 64 columns.
inline std::string Status(const std::string &text)
{
    return "\r\n\xC3  " + text + std::string(text.size() < 64 ? 64 - text.size() : 0, ' ');
}

// The text of the last status line of an output, without its padding.
inline std::string LastStatus(const std::string &out)
{
    size_t at = out.rfind("\r\n\xC3  ");
    if (at == std::string::npos)
        return "";
    std::string text = out.substr(at + 5);
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

// An image as the tool programs it: padded to a whole word (at least the
// eight vectors), with the vector checksum in word 7.
inline std::vector<uint8_t> Programmed(std::vector<uint8_t> image)
{
    image.resize(std::max<size_t>((image.size() + 3) & ~size_t(3), 32), 0);
    uint32_t sum = 0;
    for (int word = 0; word < 7; ++word)
        sum += image[4 * word] | (image[4 * word + 1] << 8) | (image[4 * word + 2] << 16) |
               (static_cast<uint32_t>(image[4 * word + 3]) << 24);
    for (int b = 0; b < 4; ++b)
        image[28 + b] = static_cast<uint8_t>((0u - sum) >> (8 * b));
    return image;
}

} // namespace expected
