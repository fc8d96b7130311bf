// A HID report descriptor for people: as hex with offsets, or item by item
// with what each item means.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace mivo::tools {

// 16 bytes a line, each line led by the offset of its first byte:
//   "0000  05 01 09 04 A1 01 85 F1 05 01 09 01 A1 00 15 00"
std::string descriptor_hex(std::span<const uint8_t> descriptor);

// One item a line: offset, the item's bytes, then the item with its meaning,
// indented by the collections open around it:
//   "0000  05 01        Usage Page (Generic Desktop)"
//   "0006  85 F1          Report ID (0xF1)"
// Usages are named on the Generic Desktop, Button, Keyboard/Keypad, Consumer,
// LED and vendor pages; main items spell out their flags, Unit its system and
// exponents. A descriptor that does not split into items ends with a line
// saying where and why.
std::string descriptor_items_text(std::span<const uint8_t> descriptor);

} // namespace mivo::tools
