#include "app/image_file.h"

#include "app/options.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{

// An Intel HEX record: ':' then, in hex digit pairs, the byte count, the
// 16-bit offset (high byte first), the type, the data and the checksum.
constexpr size_t HEX_RECORD_MIN = 5;   // count, offset (2), type, checksum
constexpr size_t HEX_RECORD_MAX = 260; // those and 255 data bytes
constexpr uint32_t HEX_DATA_PER_RECORD = 16;

enum HexType : uint8_t {
    HEX_DATA = 0x00,
    HEX_END_OF_FILE = 0x01,
    HEX_SEGMENT_ADDRESS = 0x02,
    HEX_START_SEGMENT = 0x03,
    HEX_LINEAR_ADDRESS = 0x04,
    HEX_START_LINEAR = 0x05,
};

// ELF32 (little-endian here): header fields and program header fields by
// their byte offsets.
constexpr size_t ELF_HEADER_SIZE = 52;
constexpr size_t ELF_PHDR_SIZE = 32;
constexpr uint8_t ELF_CLASS_32 = 1;
constexpr uint8_t ELF_DATA_LSB = 1;
constexpr uint8_t ELF_VERSION_CURRENT = 1;
constexpr uint16_t ELF_TYPE_EXEC = 2;
constexpr uint16_t ELF_MACHINE_ARM = 40;
constexpr uint16_t ELF_PN_XNUM = 0xFFFF; // the real count would be in section header 0
constexpr uint32_t ELF_PT_LOAD = 1;
enum ElfOffset : size_t {
    EI_CLASS = 4,
    EI_DATA = 5,
    EI_VERSION = 6,
    E_TYPE = 16,
    E_MACHINE = 18,
    E_PHOFF = 28,
    E_EHSIZE = 40,
    E_PHENTSIZE = 42,
    E_PHNUM = 44,
    P_TYPE = 0,
    P_OFFSET = 4,
    P_PADDR = 12,
    P_FILESZ = 16,
    P_MEMSZ = 20,
};

// MinGW's ANSI stdio (the Windows build's) takes %zu and %llu as glibc does.
#if defined(__MINGW_PRINTF_FORMAT)
__attribute__((format(__MINGW_PRINTF_FORMAT, 3, 4)))
#elif defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
ImageStatus
Fail(char *reason, ImageStatus status, const char *format, ...)
{
    if (reason != nullptr) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(reason, IMAGE_REASON_SIZE, format, args);
        va_end(args);
    }
    return status;
}

uint16_t Le16(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

uint32_t Le32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(Le16(bytes)) | (static_cast<uint32_t>(Le16(bytes + 2)) << 16);
}

// HEX record fields are big-endian, ELF fields here little-endian.
uint16_t Be16(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

// One record, the line [begin, end) without its line end, into *image.
ImageStatus HexRecord(const uint8_t *begin, const uint8_t *end, size_t line, uint32_t *base, bool *ended,
                      FlashImage *image, char *reason)
{
    if (*begin != ':')
        return Fail(reason, IMAGE_MALFORMED, "line %zu: not a record (no ':' first)", line);
    const size_t digits = static_cast<size_t>(end - begin) - 1;
    for (size_t i = 0; i < digits; ++i)
        if (APP_DigitValue(begin[1 + i]) < 0)
            return Fail(reason, IMAGE_MALFORMED, "line %zu: bad hex digit in column %zu", line, i + 2);
    if (digits % 2 != 0)
        return Fail(reason, IMAGE_MALFORMED, "line %zu: odd number of hex digits", line);
    if (digits / 2 < HEX_RECORD_MIN)
        return Fail(reason, IMAGE_MALFORMED, "line %zu: record too short", line);
    const uint8_t count = static_cast<uint8_t>(APP_DigitValue(begin[1]) << 4 | APP_DigitValue(begin[2]));
    if (digits / 2 != count + HEX_RECORD_MIN)
        return Fail(reason, IMAGE_MALFORMED, "line %zu: byte count %u, but %zu data bytes", line, count,
                    digits / 2 - HEX_RECORD_MIN);

    uint8_t record[HEX_RECORD_MAX];
    uint8_t sum = 0;
    for (size_t i = 0; i < digits / 2; ++i) {
        record[i] = static_cast<uint8_t>(APP_DigitValue(begin[1 + 2 * i]) << 4 | APP_DigitValue(begin[2 + 2 * i]));
        sum = static_cast<uint8_t>(sum + record[i]);
    }
    const uint8_t checksum = record[HEX_RECORD_MIN - 1 + count];
    if (sum != 0)
        return Fail(reason, IMAGE_MALFORMED, "line %zu: checksum 0x%02X, expected 0x%02X", line, checksum,
                    static_cast<uint8_t>(checksum - sum));

    const uint8_t type = record[3];
    const uint32_t offset = Be16(record + 1);
    const uint8_t *value = record + 4;
    static const uint8_t COUNTS[] = {0, 0, 2, 4, 2, 4}; // by type; data records take any count
    if (type > HEX_START_LINEAR)
        return Fail(reason, IMAGE_MALFORMED, "line %zu: unknown record type 0x%02X", line, type);
    if (type != HEX_DATA && count != COUNTS[type])
        return Fail(reason, IMAGE_MALFORMED, "line %zu: byte count %u wrong for type 0x%02X", line, count, type);

    switch (type) {
    case HEX_DATA: {
        // base is at most 0xFFFF0000, so the sum stays in 32 bits.
        const uint32_t address = *base + offset;
        uint32_t conflict = 0;
        const ImageStatus placed = APP_PlaceBytes(image, address, value, count, &conflict);
        if (placed == IMAGE_BEYOND_FLASH)
            return Fail(reason, placed, "line %zu: address 0x%04X beyond the flash", line,
                        address < IMAGE_FLASH_SIZE ? IMAGE_FLASH_SIZE : address);
        if (placed == IMAGE_OVERLAP)
            return Fail(reason, placed, "line %zu: other bytes than an earlier record at 0x%04X", line, conflict);
        break;
    }
    case HEX_END_OF_FILE:
        *ended = true;
        break;
    case HEX_SEGMENT_ADDRESS:
        *base = static_cast<uint32_t>(Be16(value)) << 4;
        break;
    case HEX_LINEAR_ADDRESS:
        *base = static_cast<uint32_t>(Be16(value)) << 16;
        break;
    default: // start addresses: nothing to place
        break;
    }
    return IMAGE_OK;
}

ImageStatus DecodeHex(const uint8_t *data, size_t size, FlashImage *image, char *reason)
{
    uint32_t base = 0;
    bool ended = false;
    size_t line = 0;
    for (size_t at = 0; at < size;) {
        ++line;
        const uint8_t *begin = data + at;
        const uint8_t *newline = static_cast<const uint8_t *>(std::memchr(begin, '\n', size - at));
        const uint8_t *end = newline != nullptr ? newline : data + size;
        at = static_cast<size_t>(end - data) + (newline != nullptr ? 1 : 0);
        if (end > begin && end[-1] == '\r')
            --end;
        if (end == begin)
            continue;
        if (ended)
            return Fail(reason, IMAGE_MALFORMED, "line %zu: more after the end-of-file record", line);
        const ImageStatus status = HexRecord(begin, end, line, &base, &ended, image, reason);
        if (status != IMAGE_OK)
            return status;
    }
    // A transfer or a copy that stopped part way leaves a file without it.
    if (!ended)
        return Fail(reason, IMAGE_MALFORMED, "no end-of-file record: the file is cut short");
    if (image->high == 0)
        return Fail(reason, IMAGE_EMPTY, "no data records");
    return IMAGE_OK;
}

ImageStatus DecodeElf(const uint8_t *data, size_t size, FlashImage *image, char *reason)
{
    if (size < ELF_HEADER_SIZE)
        return Fail(reason, IMAGE_MALFORMED, "ELF header cut short at %zu bytes", size);
    if (data[EI_CLASS] != ELF_CLASS_32 || data[EI_DATA] != ELF_DATA_LSB || data[EI_VERSION] != ELF_VERSION_CURRENT ||
        Le16(data + E_MACHINE) != ELF_MACHINE_ARM)
        return Fail(reason, IMAGE_UNSUPPORTED, "not an ELF32 little-endian ARM file");
    // Relocatable objects are not linked yet; shared objects have no fixed place.
    if (Le16(data + E_TYPE) != ELF_TYPE_EXEC)
        return Fail(reason, IMAGE_UNSUPPORTED, "ELF type %u, not an executable (2)", Le16(data + E_TYPE));
    if (Le16(data + E_EHSIZE) != ELF_HEADER_SIZE)
        return Fail(reason, IMAGE_MALFORMED, "ELF header size %u, expected 52", Le16(data + E_EHSIZE));
    const uint16_t count = Le16(data + E_PHNUM);
    if (count == 0)
        return Fail(reason, IMAGE_EMPTY, "no program headers");
    if (count == ELF_PN_XNUM)
        return Fail(reason, IMAGE_UNSUPPORTED, "65535 or more program headers");
    if (Le16(data + E_PHENTSIZE) != ELF_PHDR_SIZE)
        return Fail(reason, IMAGE_MALFORMED, "program header size %u, expected 32", Le16(data + E_PHENTSIZE));
    const uint64_t table = Le32(data + E_PHOFF);
    if (table > size || uint64_t{count} * ELF_PHDR_SIZE > size - table)
        return Fail(reason, IMAGE_MALFORMED, "program headers beyond the end of the file");

    for (uint16_t index = 0; index < count; ++index) {
        const uint8_t *header = data + table + size_t{index} * ELF_PHDR_SIZE;
        const uint32_t fileSize = Le32(header + P_FILESZ);
        if (Le32(header + P_TYPE) != ELF_PT_LOAD || fileSize == 0)
            continue;
        const uint32_t offset = Le32(header + P_OFFSET);
        const uint32_t address = Le32(header + P_PADDR);
        if (fileSize > Le32(header + P_MEMSZ))
            return Fail(reason, IMAGE_MALFORMED, "segment %u: more file bytes than memory bytes", index);
        if (offset > size || fileSize > size - offset)
            return Fail(reason, IMAGE_MALFORMED, "segment %u: file bytes beyond the end of the file", index);
        uint32_t conflict = 0;
        const ImageStatus placed = APP_PlaceBytes(image, address, data + offset, fileSize, &conflict);
        if (placed == IMAGE_BEYOND_FLASH)
            return Fail(reason, placed, "segment %u: file bytes 0x%08X-0x%08llX beyond the flash", index, address,
                        static_cast<unsigned long long>(address) + fileSize - 1);
        if (placed == IMAGE_OVERLAP)
            return Fail(reason, placed, "segment %u: other bytes than an earlier one at 0x%04X", index, conflict);
    }
    if (image->high == 0)
        return Fail(reason, IMAGE_EMPTY, "no file bytes in a loadable segment");
    return IMAGE_OK;
}

void AppendByte(std::string *text, uint8_t value)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    text->push_back(DIGITS[value >> 4]);
    text->push_back(DIGITS[value & 0x0F]);
}

void AppendRecord(std::string *text, uint32_t offset, uint8_t type, const uint8_t *bytes, uint32_t count)
{
    const uint8_t head[] = {static_cast<uint8_t>(count), static_cast<uint8_t>(offset >> 8),
                            static_cast<uint8_t>(offset), type};
    uint8_t sum = 0;
    text->push_back(':');
    for (uint8_t value : head) {
        AppendByte(text, value);
        sum = static_cast<uint8_t>(sum + value);
    }
    for (uint32_t i = 0; i < count; ++i) {
        AppendByte(text, bytes[i]);
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    AppendByte(text, static_cast<uint8_t>(0u - sum));
    text->push_back('\n');
}

} // namespace

void APP_ClearImage(FlashImage *image)
{
    std::memset(image->bytes, IMAGE_GAP_BYTE, sizeof image->bytes);
    std::memset(image->defined, 0, sizeof image->defined);
    image->low = 0;
    image->high = 0;
    image->format = IMAGE_RAW;
}

ImageStatus APP_PlaceBytes(FlashImage *image, uint32_t address, const uint8_t *bytes, uint32_t length,
                           uint32_t *conflict)
{
    if (length == 0)
        return IMAGE_OK;
    if (address >= IMAGE_FLASH_SIZE || length > IMAGE_FLASH_SIZE - address)
        return IMAGE_BEYOND_FLASH;
    for (uint32_t i = 0; i < length; ++i) {
        if (image->defined[address + i] && image->bytes[address + i] != bytes[i]) {
            if (conflict != nullptr)
                *conflict = address + i;
            return IMAGE_OVERLAP;
        }
    }
    std::memcpy(image->bytes + address, bytes, length);
    std::memset(image->defined + address, 1, length);
    if (image->high == 0 || address < image->low)
        image->low = address;
    if (address + length > image->high)
        image->high = address + length;
    return IMAGE_OK;
}

ImageFormat APP_ImageFormatOf(const uint8_t *data, size_t size)
{
    if (size >= 4 && std::memcmp(data,
                                 "\x7F"
                                 "ELF",
                                 4) == 0)
        return IMAGE_ELF;
    size_t first = 0;
    while (first < size && (data[first] == '\r' || data[first] == '\n'))
        ++first;
    return first < size && data[first] == ':' ? IMAGE_HEX : IMAGE_RAW;
}

ImageStatus APP_DecodeImage(const uint8_t *data, size_t size, uint32_t rawOffset, FlashImage *image, char *reason)
{
    APP_ClearImage(image);
    if (reason != nullptr)
        reason[0] = '\0';

    image->format = APP_ImageFormatOf(data, size);
    if (image->format == IMAGE_ELF)
        return DecodeElf(data, size, image, reason);
    if (image->format == IMAGE_HEX)
        return DecodeHex(data, size, image, reason);

    if (size == 0)
        return Fail(reason, IMAGE_EMPTY, "empty file");
    if (rawOffset >= IMAGE_FLASH_SIZE || size > IMAGE_FLASH_SIZE - rawOffset)
        return Fail(reason, IMAGE_BEYOND_FLASH, "%zu bytes from 0x%04X run past the flash", size, rawOffset);
    return APP_PlaceBytes(image, rawOffset, data, static_cast<uint32_t>(size));
}

std::string APP_EncodeHex(const FlashImage &image)
{
    std::string text;
    for (uint32_t address = 0; address < IMAGE_FLASH_SIZE;) {
        if (!image.defined[address]) {
            ++address;
            continue;
        }
        const uint32_t limit = (address / HEX_DATA_PER_RECORD + 1) * HEX_DATA_PER_RECORD;
        uint32_t end = address + 1;
        while (end < limit && image.defined[end])
            ++end;
        AppendRecord(&text, address, HEX_DATA, image.bytes + address, end - address);
        address = end;
    }
    AppendRecord(&text, 0, HEX_END_OF_FILE, nullptr, 0);
    return text;
}
