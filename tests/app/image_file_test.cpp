#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/image_file.h"

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string &name)
{
    const std::string source = __FILE__; // tests/app/ under the project's root
    std::ifstream file(source.substr(0, source.rfind("tests/app/")) + "firmware/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// One record line: the hex digits given, then their checksum.
std::string R(const std::string &digits)
{
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        sum = static_cast<uint8_t>(sum + std::stoi(digits.substr(i, 2), nullptr, 16));
    char checksum[3];
    std::snprintf(checksum, sizeof checksum, "%02X", static_cast<uint8_t>(-sum));
    return ":" + digits + checksum + "\n";
}

const std::string END = ":00000001FF\n";

struct Decoded {
    ImageStatus status;
    std::string reason;
    std::unique_ptr<FlashImage> image = std::make_unique<FlashImage>();
};

Decoded Decode(const Bytes &data, uint32_t rawOffset = 0)
{
    Decoded result;
    char reason[IMAGE_REASON_SIZE];
    result.status = APP_DecodeImage(data.data(), data.size(), rawOffset, result.image.get(), reason);
    result.reason = reason;
    return result;
}

Decoded Decode(const std::string &text) { return Decode(Bytes(text.begin(), text.end())); }

void ExpectSameImage(const FlashImage &a, const FlashImage &b)
{
    EXPECT_EQ(std::memcmp(a.bytes, b.bytes, sizeof a.bytes), 0);
    EXPECT_EQ(std::memcmp(a.defined, b.defined, sizeof a.defined), 0);
    EXPECT_EQ(a.low, b.low);
    EXPECT_EQ(a.high, b.high);
}

TEST(ImageFile, TheSampleAsRawHexAndElfGivesTheSameBytesAndTheWriterWritesItsHex)
{
    const Bytes raw = ReadFile("sample.bin");
    ASSERT_EQ(raw.size(), 202u);
    const Decoded bin = Decode(raw), hex = Decode(ReadFile("sample.hex")), elf = Decode(ReadFile("sample.elf"));
    for (const Decoded *d : {&bin, &hex, &elf}) {
        ASSERT_EQ(d->status, IMAGE_OK) << d->reason;
        ExpectSameImage(*d->image, *bin.image);
    }
    EXPECT_EQ(std::memcmp(bin.image->bytes, raw.data(), raw.size()), 0);
    EXPECT_EQ(bin.image->bytes[202], IMAGE_GAP_BYTE);
    EXPECT_EQ(bin.image->high, 202u); // the ELF's .bss segment in RAM adds nothing
    EXPECT_EQ(bin.image->format, IMAGE_RAW);
    EXPECT_EQ(hex.image->format, IMAGE_HEX);
    EXPECT_EQ(elf.image->format, IMAGE_ELF);
    const Bytes text = ReadFile("sample.hex");
    EXPECT_EQ(APP_EncodeHex(*bin.image), std::string(text.begin(), text.end()));
}

TEST(ImageFile, HexTextsReadAsTheirRecordsSay)
{
    const struct {
        std::string text;
        uint32_t low, high;
        std::ptrdiff_t defined;
        uint32_t at;
        uint8_t value;
    } cases[] = {
        // The same record twice; empty lines, also "\r" ones, skipped; blank lines after the end.
        {R("0201000011AB") + "\r\n" + R("0201000011AB") + "\n" + END + "\n\n", 0x100, 0x102, 2, 0x101, 0xAB},
        // A leading empty line; start address records ignored; no line end at the end.
        {"\r\n" + R("020000040000") + R("030005001122AB") + R("04000005000000C1") + ":00000001ff", 5, 8, 3, 7, 0xAB},
        // Segment 0x0010: base 0x100.
        {R("020000020010") + R("010FFF00CD") + R("04000003000000C1") + END, 0x10FF, 0x1100, 1, 0x10FF, 0xCD},
        // Lowercase digits, "\r\n", the flash's last byte.
        {R("017FFF0077") + ":0100000055aa\r\n" + END, 0, 0x8000, 2, 0x7FFF, 0x77},
    };
    for (const auto &c : cases) {
        const Decoded d = Decode(c.text);
        ASSERT_EQ(d.status, IMAGE_OK) << c.text << d.reason;
        EXPECT_EQ(d.image->low, c.low) << c.text;
        EXPECT_EQ(d.image->high, c.high) << c.text;
        EXPECT_EQ(std::count(d.image->defined, d.image->defined + IMAGE_FLASH_SIZE, true), c.defined) << c.text;
        EXPECT_TRUE(d.image->defined[c.at]) << c.text;
        EXPECT_EQ(d.image->bytes[c.at], c.value) << c.text;
    }
}

TEST(ImageFile, BrokenFilesAreRefusedWithWhereAndWhy)
{
    const struct {
        std::string text;
        ImageStatus status;
        const char *reason;
    } cases[] = {
        {":0100000055AB\n" + END, IMAGE_MALFORMED, "line 1: checksum 0xAB, expected 0xAA"},
        {R("00000000") + R("027FFF001122") + END, IMAGE_BEYOND_FLASH, "line 2: address 0x8000 beyond the flash"},
        {R("020000040001") + R("0100000011") + END, IMAGE_BEYOND_FLASH, "line 2: address 0x10000 beyond the flash"},
        {R("020000020800") + R("0100100011") + END, IMAGE_BEYOND_FLASH, "line 2: address 0x8010 beyond the flash"},
        {R("020100001122") + "\n" + R("020100001133") + END, IMAGE_OVERLAP,
         "line 3: other bytes than an earlier record at 0x0101"},
        {R("00000006") + END, IMAGE_MALFORMED, "line 1: unknown record type 0x06"},
        {":0100000G55AA\n" + END, IMAGE_MALFORMED, "line 1: bad hex digit in column 9"},
        {":01000000 55AA\n" + END, IMAGE_MALFORMED, "line 1: bad hex digit in column 10"},
        {":00000001F\n", IMAGE_MALFORMED, "line 1: odd number of hex digits"},
        {":00000001\n", IMAGE_MALFORMED, "line 1: record too short"},
        {R("0200000011") + END, IMAGE_MALFORMED, "line 1: byte count 2, but 1 data bytes"},
        {R("0100000100") + END, IMAGE_MALFORMED, "line 1: byte count 1 wrong for type 0x01"},
        {R("0100000011") + "0100000011EE\n" + END, IMAGE_MALFORMED, "line 2: not a record (no ':' first)"},
        {R("0100000011"), IMAGE_MALFORMED, "no end-of-file record: the file is cut short"},
        {R("0100000011") + END + R("0100000011"), IMAGE_MALFORMED, "line 3: more after the end-of-file record"},
        {"\n" + END, IMAGE_EMPTY, "no data records"},
        {"", IMAGE_EMPTY, "empty file"},
    };
    for (const auto &c : cases) {
        const Decoded d = Decode(c.text);
        EXPECT_EQ(d.status, c.status) << c.text;
        EXPECT_EQ(d.reason, c.reason) << c.text;
    }
}

void Put(Bytes *file, size_t at, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        (*file)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(ImageFile, BrokenElfFilesAreRefusedWithWhereAndWhy)
{
    // sample.elf: program headers at 52 (the image's at 52, the .bss one at 84), image bytes at 116.
    const struct {
        size_t at;
        uint32_t value;
        int size; // 0: the file cut to `at` bytes
        ImageStatus status;
        const char *reason;
    } cases[] = {
        {51, 0, 0, IMAGE_MALFORMED, "ELF header cut short at 51 bytes"},
        {4, 2, 1, IMAGE_UNSUPPORTED, "not an ELF32 little-endian ARM file"},   // ELFCLASS64
        {5, 2, 1, IMAGE_UNSUPPORTED, "not an ELF32 little-endian ARM file"},   // big-endian
        {18, 62, 2, IMAGE_UNSUPPORTED, "not an ELF32 little-endian ARM file"}, // x86-64
        {16, 1, 2, IMAGE_UNSUPPORTED, "ELF type 1, not an executable (2)"},    // relocatable object
        {40, 64, 2, IMAGE_MALFORMED, "ELF header size 64, expected 52"},
        {42, 56, 2, IMAGE_MALFORMED, "program header size 56, expected 32"},
        {44, 0, 2, IMAGE_EMPTY, "no program headers"},
        {28, 0xFFFFFFF0, 4, IMAGE_MALFORMED, "program headers beyond the end of the file"},
        {100, IMAGE_GAP_BYTE, 0, IMAGE_MALFORMED, "program headers beyond the end of the file"},
        {52 + 4, 0xFFFFFF00, 4, IMAGE_MALFORMED, "segment 0: file bytes beyond the end of the file"},
        {300, 0, 0, IMAGE_MALFORMED, "segment 0: file bytes beyond the end of the file"},
        {52 + 20, 4, 4, IMAGE_MALFORMED, "segment 0: more file bytes than memory bytes"},
        {52 + 12, 0x7F80, 4, IMAGE_BEYOND_FLASH, "segment 0: file bytes 0x00007F80-0x00008049 beyond the flash"},
        {84 + 16, 4, 4, IMAGE_BEYOND_FLASH, "segment 1: file bytes 0x10000000-0x10000003 beyond the flash"},
        {52 + 16, 0, 4, IMAGE_EMPTY, "no file bytes in a loadable segment"},
    };
    const Bytes sample = ReadFile("sample.elf");
    for (const auto &c : cases) {
        Bytes file = sample;
        if (c.size == 0)
            file.resize(c.at);
        else
            Put(&file, c.at, c.value, c.size);
        const Decoded d = Decode(file);
        EXPECT_EQ(d.status, c.status) << c.reason;
        EXPECT_EQ(d.reason, c.reason);
    }
    // The .bss segment given the file's first 4 bytes at flash address 0, where the image has others.
    Bytes file = sample;
    Put(&file, 84 + 12, 0, 4);
    Put(&file, 84 + 16, 4, 4);
    EXPECT_EQ(Decode(file).reason, "segment 1: other bytes than an earlier one at 0x0000");
}

TEST(ImageFile, RawFilesLieAtTheCallersOffsetWithinTheFlash)
{
    const struct {
        size_t size;
        uint32_t offset;
        ImageStatus status;
    } cases[] = {{32768, 0, IMAGE_OK},
                 {32769, 0, IMAGE_BEYOND_FLASH},
                 {1, 0x7FFF, IMAGE_OK},
                 {2, 0x7FFF, IMAGE_BEYOND_FLASH},
                 {1, 0xFFFFFFFF, IMAGE_BEYOND_FLASH}};
    for (const auto &c : cases) {
        const Decoded d = Decode(Bytes(c.size, 0x42), c.offset);
        ASSERT_EQ(d.status, c.status) << c.size << " at " << c.offset;
        if (c.status == IMAGE_OK) {
            EXPECT_EQ(d.image->low, c.offset);
            EXPECT_EQ(d.image->high, c.offset + c.size);
        }
    }
    EXPECT_EQ(Decode(Bytes(2, 0), 0x7FFF).reason, "2 bytes from 0x7FFF run past the flash");
}

TEST(ImageFile, WhatTheWriterWritesTheReaderReadsBack)
{
    auto image = std::make_unique<FlashImage>();
    APP_ClearImage(image.get());
    EXPECT_EQ(APP_EncodeHex(*image), END);
    Bytes bytes(0x8000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    const struct {
        uint32_t address, length;
    } ranges[] = {{0x0003, 0x25}, {0x0100, 1}, {0x1000, 0x1000}, {0x7FF0, 0x10}};
    for (const auto &r : ranges)
        ASSERT_EQ(APP_PlaceBytes(image.get(), r.address, bytes.data() + r.address, r.length), IMAGE_OK);
    const std::string text = APP_EncodeHex(*image);
    // Records stop at 16-byte boundaries.
    EXPECT_EQ(text.substr(0, 38), ":0D000300151C232A31383F464D545B6269BD\n");
    EXPECT_EQ(text.substr(text.size() - 56, 9), ":107FF000");
    EXPECT_EQ(text.substr(text.size() - 12), END);
    const Decoded back = Decode(text);
    ASSERT_EQ(back.status, IMAGE_OK) << back.reason;
    ExpectSameImage(*back.image, *image);
    EXPECT_EQ(back.image->low, 0x0003u);
    EXPECT_EQ(back.image->high, 0x8000u);
}

} // namespace
