// Registry values for the profile stores that tests build by hand.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "tools/lib/regfile.h"

inline mivo::regfile::Value dword(std::string name, uint32_t v)
{
    return {std::move(name), mivo::regfile::kRegDword, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}};
}

// A REG_SZ of ASCII text, NUL-terminated UTF-16LE.
inline mivo::regfile::Value text(std::string name, std::string_view ascii)
{
    mivo::regfile::Value v{std::move(name), mivo::regfile::kRegSz, {}};
    for (char c : ascii) v.data.insert(v.data.end(), {uint8_t(c), 0});
    v.data.insert(v.data.end(), {0, 0});
    return v;
}
