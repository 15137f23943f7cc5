// A folder of its own for each test, removed with it, and whole-file reads
// and writes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string &path, const Bytes &bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

// Test data: byte i is i * step + start.
inline Bytes Pattern(size_t size, unsigned step, unsigned start)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * step + start);
    return bytes;
}

inline std::string ReadFileText(const std::string &path)
{
    const Bytes bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

inline void WriteText(const std::string &path, const std::string &text)
{
    WriteFile(path, Bytes(text.begin(), text.end()));
}

class TempDir
{
public:
    explicit TempDir(const std::string &tag)
    {
        std::string pattern = "/tmp/canisp-" + tag + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string Path(const std::string &name) const { return path + "/" + name; }

    std::string path;
};
