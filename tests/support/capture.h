// Captures what a filter function writes to a FILE stream.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <vector>

namespace quillet::test {

template <typename F>
std::vector<uint8_t> capture(F &&write)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    write(fp);
    fclose(fp);
    std::vector<uint8_t> bytes(buf, buf + len);
    free(buf);
    return bytes;
}

// Bytes from text such as "4F 41 4B 54".
inline std::vector<uint8_t> hex(const std::string &text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            i++;
            continue;
        }
        bytes.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

inline std::vector<uint8_t> text_bytes(const std::string &text)
{
    return {text.begin(), text.end()};
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace quillet::test
