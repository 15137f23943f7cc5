#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/firmware.h"
#include "support/temp_files.h"
#include "support/tool_fixture.h"

namespace
{

uint32_t Word(const std::vector<uint8_t> &image, size_t offset)
{
    return image[offset] | (image[offset + 1] << 8) | (image[offset + 2] << 16) |
           (static_cast<uint32_t>(image[offset + 3]) << 24);
}

uint32_t SumOfVectorWords(const std::vector<uint8_t> &image)
{
    uint32_t sum = 0;
    for (int i = 0; i < 8; ++i)
        sum += Word(image, 4 * i);
    return sum;
}

class LoadImageTest : public ToolTest
{
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        buffer.assign(MAX_IMAGE_SIZE, 0xEE);
    }
    std::string Write(size_t length)
    {
        const std::string path = temp.Path("image" + std::to_string(length) + ".bin");
        WriteFile(path, Bytes(length, 0x11));
        return path;
    }
    TempDir temp{"image"};
    const std::string &dir = temp.path;
    std::vector<uint8_t> buffer;
};

// The checksum covers the padding when the image is shorter than its 32 bytes.
TEST_F(LoadImageTest, SizesArePaddedToWholeWordsWithZerosOrTheFastPathsErasedBytesAndGetTheirChecksum)
{
    const struct {
        size_t length;
        uint32_t padded;
        uint8_t padding;
    } cases[] = {{5, 8, 0},         {4096, 4096, 0}, {4097, 4100, 0},   {32767, 32768, 0},
                 {32768, 32768, 0}, {5, 8, 0xFF},    {4097, 4100, 0xFF}};
    for (const auto &c : cases) {
        uint32_t size = 0;
        ASSERT_EQ(APP_LoadImage(Write(c.length).c_str(), &size, buffer.data(), c.padding), LOAD_OK) << c.length;
        EXPECT_EQ(size, c.padded) << c.length;
        EXPECT_EQ(buffer[c.length - 1], 0x11) << c.length;
        EXPECT_EQ(SumOfVectorWords(buffer), 0u) << c.length;
        for (size_t i = c.length; i < MAX_IMAGE_SIZE; ++i) {
            if (i < 28 || i >= 32) { // the checksum word may lie past a short image
                ASSERT_EQ(buffer[i], c.padding) << "byte " << i << " of a " << c.length << "-byte image";
            }
        }
    }
}

TEST_F(LoadImageTest, WhatCannotBeProgrammedIsRefusedBeforeAnythingElse)
{
    const std::string fifo = dir + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        LoadResult result;
    } cases[] = {
        {Write(32769), LOAD_TOO_BIG},    {Write(0), LOAD_EMPTY},  {dir + "/missing.bin", LOAD_OPEN_FAILED},
        {"", LOAD_OPEN_FAILED},          {dir, LOAD_OPEN_FAILED}, // a folder
        {"/dev/zero", LOAD_OPEN_FAILED},                          // a device that never ends
        {fifo, LOAD_OPEN_FAILED},                                 // a pipe without a writer
    };
    for (const auto &c : cases) {
        uint32_t size = 1234;
        EXPECT_EQ(APP_LoadImage(c.path.c_str(), &size, buffer.data()), c.result) << c.path;
        EXPECT_EQ(size, 1234u) << c.path;
    }
}

// A HEX or ELF file is read whole up to 64 MiB: one of exactly that size is
// read (and found broken), one byte more is too big.
TEST_F(LoadImageTest, AHexFileUpToTheSizeLimitIsRead)
{
    const std::string path = temp.Path("big.hex");
    WriteText(path, ":");
    Firmware firmware;
    char reason[IMAGE_REASON_SIZE];
    for (off_t extra : {0, 1}) {
        ASSERT_EQ(truncate(path.c_str(), (off_t{64} << 20) + extra), 0);
        EXPECT_EQ(APP_LoadFirmware(path.c_str(), 0, &firmware, reason), extra ? RC_FILE_TOO_BIG : RC_FILE_LOAD_FAILED);
    }
}

TEST_F(LoadImageTest, AnImageThatCannotBeReadWholeIsNeverTakenCut)
{
    // A file that ends before its measured length (it shrank after the size
    // was taken), and a stream whose reads fail.
    const std::string path = Write(100);
    FILE *shrunk = std::fopen(path.c_str(), "rb");
    EXPECT_EQ(APP_ReadImage(shrunk, 4096, buffer.data()), LOAD_READ_FAILED);
    std::fclose(shrunk);

    FILE *unreadable = std::fopen((dir + "/write-only.bin").c_str(), "wb");
    EXPECT_EQ(APP_ReadImage(unreadable, 8, buffer.data()), LOAD_READ_FAILED);
    std::fclose(unreadable);
}

} // namespace
