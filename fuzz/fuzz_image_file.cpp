// Image files: arbitrary bytes through the image reader. Whatever it accepts
// defines exactly the bytes that the file's records or segments give (read
// again here by a plain walk over the accepted file), nothing outside the
// flash, with low and high around them and 0xFF in the gaps; its HEX text
// reads back to the same image. A refusal carries a short printable reason.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/image_file.h"

namespace
{

[[noreturn]] void Fail(const char *condition, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, line, condition);
    std::abort();
}

#define CHECK(condition) ((condition) ? (void)0 : Fail(#condition, __LINE__))

struct Expected {
    uint8_t bytes[IMAGE_FLASH_SIZE];
    bool given[IMAGE_FLASH_SIZE];
};

// Marks what a file's piece puts at address; false when it lies outside the flash.
bool Give(Expected *expected, uint64_t address, const uint8_t *bytes, uint64_t length)
{
    if (address + length > IMAGE_FLASH_SIZE)
        return false;
    for (uint64_t i = 0; i < length; ++i) {
        expected->bytes[address + i] = bytes[i];
        expected->given[address + i] = true;
    }
    return true;
}

int Digit(uint8_t c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// The data records of a HEX text the reader accepted.
bool WalkHex(const uint8_t *data, size_t size, Expected *expected)
{
    uint64_t base = 0;
    uint8_t record[260];
    for (size_t at = 0; at < size;) {
        size_t end = at;
        while (end < size && data[end] != '\n')
            ++end;
        const size_t next = end + 1;
        if (end > at && data[end - 1] == '\r')
            --end;
        if (end > at) {
            const size_t count = (end - at - 1) / 2;
            CHECK(data[at] == ':' && count >= 5 && count <= sizeof record);
            for (size_t i = 0; i < count; ++i)
                record[i] = static_cast<uint8_t>(Digit(data[at + 1 + 2 * i]) * 16 + Digit(data[at + 2 + 2 * i]));
            const uint64_t value = count >= 6 ? record[4] * 256u + record[5] : 0;
            if (record[3] == 0x00 && !Give(expected, base + record[1] * 256u + record[2], record + 4, record[0]))
                return false;
            if (record[3] == 0x01)
                return true;
            if (record[3] == 0x02)
                base = value << 4;
            if (record[3] == 0x04)
                base = value << 16;
        }
        at = next;
    }
    return false; // accepted without an end-of-file record
}

uint32_t Le(const uint8_t *bytes, int size)
{
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

// The file bytes of the PT_LOAD segments of an ELF file the reader accepted.
bool WalkElf(const uint8_t *data, size_t size, Expected *expected)
{
    const uint32_t table = Le(data + 28, 4), count = Le(data + 44, 2);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *header = data + table + 32 * i;
        const uint32_t offset = Le(header + 4, 4), fileSize = Le(header + 16, 4);
        if (Le(header, 4) != 1 || fileSize == 0)
            continue;
        CHECK(uint64_t{offset} + fileSize <= size);
        if (!Give(expected, Le(header + 12, 4), data + offset, fileSize))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // libFuzzer's buffer holds exactly the file: a read past it is caught.
    auto image = std::make_unique<FlashImage>();
    char reason[IMAGE_REASON_SIZE];
    std::memset(reason, 'x', sizeof reason);
    const uint32_t rawOffset = size > 0 ? (data[size - 1] & 0x0F) * 0x800u : 0;
    const ImageStatus status = APP_DecodeImage(data, size, rawOffset, image.get(), reason);

    const size_t reasonLength = strnlen(reason, sizeof reason);
    CHECK(reasonLength < sizeof reason);
    for (size_t i = 0; i < reasonLength; ++i)
        CHECK(reason[i] >= 0x20 && reason[i] < 0x7F);
    CHECK((status == IMAGE_OK) == (reasonLength == 0));
    if (status != IMAGE_OK)
        return 0;

    // The format follows the contents.
    size_t first = 0;
    while (first < size && (data[first] == '\r' || data[first] == '\n'))
        ++first;
    const bool elf = size >= 4 && std::memcmp(data,
                                              "\x7F"
                                              "ELF",
                                              4) == 0;
    const ImageFormat format = elf ? IMAGE_ELF : first < size && data[first] == ':' ? IMAGE_HEX : IMAGE_RAW;
    CHECK(image->format == format);

    auto expected = std::make_unique<Expected>();
    std::memset(expected->given, 0, sizeof expected->given);
    const bool inFlash = format == IMAGE_ELF   ? WalkElf(data, size, expected.get())
                         : format == IMAGE_HEX ? WalkHex(data, size, expected.get())
                                               : Give(expected.get(), rawOffset, data, size);
    CHECK(inFlash);

    CHECK(image->low < image->high && image->high <= IMAGE_FLASH_SIZE);
    CHECK(image->defined[image->low] && image->defined[image->high - 1]);
    for (uint32_t a = 0; a < IMAGE_FLASH_SIZE; ++a) {
        CHECK(image->defined[a] == expected->given[a]);
        CHECK(image->bytes[a] == (image->defined[a] ? expected->bytes[a] : IMAGE_GAP_BYTE));
        CHECK(!image->defined[a] || (a >= image->low && a < image->high));
    }

    const std::string text = APP_EncodeHex(*image);
    auto back = std::make_unique<FlashImage>();
    CHECK(APP_DecodeImage(reinterpret_cast<const uint8_t *>(text.data()), text.size(), 0, back.get(), nullptr) ==
          IMAGE_OK);
    CHECK(back->format == IMAGE_HEX && back->low == image->low && back->high == image->high);
    CHECK(std::memcmp(back->bytes, image->bytes, sizeof image->bytes) == 0);
    CHECK(std::memcmp(back->defined, image->defined, sizeof image->defined) == 0);
    return 0;
}
