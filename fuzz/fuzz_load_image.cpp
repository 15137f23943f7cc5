// Image files: arbitrary contents (up to a little past the flash size) through
// the image loader. A file that fits the flash loads whole: its bytes in the
// buffer, zeros after it, its length rounded up to a word, and the vector
// table's eight words summing to 0; an empty one or one too big is refused.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/firmware.h"

namespace
{

std::string g_path;

[[noreturn]] void Fail(const char *condition, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, line, condition);
    std::abort();
}

#define CHECK(condition) ((condition) ? (void)0 : Fail(#condition, __LINE__))

uint32_t Word(const uint8_t *bytes)
{
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char pattern[] = "/tmp/canisp-fuzz-image-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0)
        std::abort();
    close(fd);
    g_path = pattern;
    std::atexit([] { std::remove(g_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *file = std::fopen(g_path.c_str(), "wb");
    CHECK(file != nullptr);
    CHECK(size == 0 || std::fwrite(data, 1, size, file) == size);
    std::fclose(file);

    // Exactly the flash size, so that any write past it is caught.
    uint8_t *buffer = static_cast<uint8_t *>(std::malloc(MAX_IMAGE_SIZE));
    std::memset(buffer, 0xA5, MAX_IMAGE_SIZE);
    uint32_t imageSize = 0xDEADBEEF;
    LoadResult result = APP_LoadImage(g_path.c_str(), &imageSize, buffer);

    if (size > MAX_IMAGE_SIZE) {
        CHECK(result == LOAD_TOO_BIG);
    } else if (size == 0) {
        CHECK(result == LOAD_EMPTY);
    } else {
        CHECK(result == LOAD_OK);
        CHECK(imageSize == ((size + 3) & ~size_t(3)));
        for (size_t i = 0; i < MAX_IMAGE_SIZE; ++i) {
            if (i >= 28 && i < 32)
                continue;
            CHECK(buffer[i] == (i < size ? data[i] : 0));
        }
        uint32_t sum = 0;
        for (int word = 0; word < 8; ++word)
            sum += Word(buffer + 4 * word);
        CHECK(sum == 0);
    }
    if (result != LOAD_OK)
        CHECK(imageSize == 0xDEADBEEF);
    std::free(buffer);
    return 0;
}
