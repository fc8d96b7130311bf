// The words of profile files and of `mivo-profile show`: names of device
// inputs, joystick axes, mouse buttons, keys and consumer controls, and a
// read-only view of a stored bind's fields.
#pragma once

#include "platform/sim/sim.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/lib/profile_model.h"

namespace mivo::profile {

// What the driver loads from the store (compared byte for byte, so case counts).
constexpr std::string_view kSubkeyPrefix = "Layout - ";
constexpr std::string_view kBindPrefix = "Bind - ";
// Longest subkey or value name the driver reads (its 256-byte buffers).
constexpr size_t kMaxRegistryName = 127;

struct NameEntry {
    const char *name; // the form files are written with
    int64_t value;
};
using NameTable = std::vector<NameEntry>;

// Lower case, letters and digits only: "LeftCtrl", "left_ctrl" and
// "Left Ctrl" are one name.
std::string normalize_name(std::string_view name);
std::optional<int64_t> lookup(const NameTable &table, std::string_view name);

const NameTable &direction_names();     // both positive negative
const NameTable &trigger_names();       // direct tap hold
const NameTable &joystick_axis_names(); // x y z rx ry rz slider1 slider2
const NameTable &hat_names();           // up_down left_right
const NameTable &mouse_button_names();  // left right middle back forward
const NameTable &consumer_names();      // 1..16, the virtual device's controls in report order
const NameTable &key_names();           // keyboard/keypad usages, with a few aliases

// The written name of a value; "" for key codes that have none.
std::string axis_source_name(uint8_t index); // tx ty tz rx ry rz
std::string joystick_axis_name(uint8_t axis);
std::string mouse_button_name(uint8_t button);
std::string consumer_name_of(uint8_t control);
std::string key_name_of(uint8_t usage);

struct SourceRef {
    uint32_t type;
    uint8_t index;
};
// "tx".."rz", "axis 0".."axis 5", "button 0".."button 47".
std::optional<SourceRef> parse_source_name(std::string_view name);

// The fields of a stored bind, read little-endian from its bytes.
class BindView {
public:
    explicit BindView(const Bind &bind) : b_(bind.bytes.data()) {}
    explicit BindView(const uint8_t *bytes) : b_(bytes) {}
    uint32_t source_type() const { return u32(0); }
    uint8_t source_index() const { return b_[4]; }
    uint8_t invert() const { return b_[5]; }
    int16_t at6() const { return i16(6); } // axis dead zone / button released value
    int16_t at8() const { return i16(8); } // axis min / button pressed value
    int16_t axis_max() const { return i16(10); }
    int32_t direction() const { return int32_t(u32(12)); }
    uint32_t action_type() const { return u32(16); }
    uint8_t param(size_t n) const { return b_[20 + n]; }
    int32_t hat() const { return int32_t(u32(20)); }
    int16_t profile_target() const { return i16(20); }
    uint8_t key_flags() const { return b_[20]; }
    int16_t key_repeat() const { return i16(21); }
    uint8_t key_code(size_t n) const { return b_[23 + n]; }
    int16_t hold_time() const { return i16(28); }
    int32_t trigger() const { return int32_t(u32(30)); }

private:
    int16_t i16(size_t at) const { return int16_t(b_[at] | b_[at + 1] << 8); }
    uint32_t u32(size_t at) const
    {
        return uint32_t(b_[at]) | uint32_t(b_[at + 1]) << 8 | uint32_t(b_[at + 2]) << 16 | uint32_t(b_[at + 3]) << 24;
    }
    const uint8_t *b_;
};

// Whether two binds can never give a value in the same pass: one button read
// straight and inverted, or one axis split into its two sides.
bool exclusive(const Bind &a, const Bind &b);

// UTF-8 <-> UTF-16 (invalid input becomes U+FFFD).
using sim::utf16_to_utf8;
using sim::utf8_to_utf16;
size_t utf16_units(std::string_view utf8);

} // namespace mivo::profile
