// Byte strings for tests that compare report images and stored records with
// the bytes written out in hex ("F1 68 01 ...").
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace test_bytes {

using Bytes = std::vector<uint8_t>;

inline Bytes hex(const std::string &text)
{
    Bytes out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) {
        out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    return out;
}

template <typename T> Bytes bytes_of(const T &object, size_t size = sizeof(T))
{
    const auto *p = reinterpret_cast<const uint8_t *>(&object);
    return Bytes(p, p + size);
}

// Fields of packed records (BIND) are read by value: they may be misaligned
// and cannot bind to the references that assertions take.
template <typename T> T field(T value)
{
    return value;
}

} // namespace test_bytes
