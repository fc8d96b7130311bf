// Profile files: one profile a file, in TOML, with binds written in names.
//
//   id = 3                     # Profil_Id, -32768..32767; -1 is the base profile's
//   name = "Flight"            # at most 49 UTF-16 units (what the driver keeps)
//   dead_zone = 40             # the profile's dead zone on the 0..360 axis scale; default 0
//   default = true             # optional: select this profile when nothing else is asked for
//   default_profile = 7        # optional, instead: the store's default id, for ids no file defines
//   store_key = "Layout - X"   # optional: the registry subkey; by default compile numbers them
//
//   [[bind]]                   # binds in the order the driver evaluates them
//   source = "ty"              # tx ty tz rx ry rz, "axis 0".."axis 5", "button 0".."button 47"
//                              #   raw: {type = 7, index = 3}
//   invert = true              # default false
//   # axis sources:   dead_zone (added to the profile's), min, max (0 = no limit),
//   #                 direction = "both" | "positive" | "negative" (or a number); defaults 0 / both
//   # button sources: pressed (default 1), released (default 0): the values handed to the action
//   trigger = "direct"         # "direct" | "tap" | "hold" (or a number)
//   time = 500                 # ms for tap and hold; default 500 for them, 0 for direct
//
//   # exactly one action:
//   joystick_axis = "y"        # x y z rx ry rz slider1 slider2, or 0..7
//   joystick_button = 0        # 0..7 (the game's Button 1..8)
//   hat = "up_down"            # "up_down" (negative = up) or "left_right" (negative = left)
//   mouse_x = 100              # speed 0..255: 100 moves 127 a step at full deflection
//   mouse_y = 100
//   wheel = 10                 # slowness 0..255: a light touch steps every 10 x slowness ms
//   mouse_button = "left"      # left right middle back forward, or 0..4
//   keys = ["left_ctrl", "c"]  # up to five HID keyboard usages by name (or number 1..231)
//     press = true             #   with keys: default true; latch, unlatch default false;
//     latch = true             #   repeat = ms sends the keys again every ms while active
//   consumer = "mute"          # mute volume_increment volume_decrement play_pause stop
//                              # scan_previous_track scan_next_track al_email_reader al_calculator
//                              # ac_search ac_home ac_bookmarks ac_refresh ac_stop ac_forward ac_back,
//                              # or 1..16
//   profile = 5                # switch to the profile with this id (-1: the base profile)
//   action = 42                # raw: any action code, with param = [up to 8 bytes]
//
// Names are matched without regard to case, '_', ' ' and '/' ("LeftCtrl" is
// "left_ctrl"). A named form is checked against what the virtual device has;
// the raw forms (source tables, action/param, key_flags/key_repeat, numeric
// trigger and direction) hold whatever a stored record holds, so every 34-byte
// bind has a written form.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/lib/profile_model.h"

namespace mivo::profile {

enum class Severity { Error, Warning, Note };

struct Diagnostic {
    Severity severity = Severity::Error;
    SourcePos where;
    std::string message;
};

// "FILE:LINE:COL: error: message" (LINE and COL left out where unknown).
std::string format_diagnostic(const Diagnostic &diagnostic);
bool has_errors(const std::vector<Diagnostic> &diagnostics);

// Where the parts of one bind were written, for messages about it.
struct BindPlaces {
    SourcePos source;
    SourcePos action;
    bool raw_action = false; // written as action = N: what a store held, not what a person named
};

// A profile as a file says it: the profile and how it is to be stored.
struct ProfileFile {
    Profile profile;
    std::vector<BindPlaces> places; // one per bind, in list order
    std::string store_key;          // "" = compile picks the subkey's name
    bool is_default = false;
    std::optional<int16_t> default_profile;
    SourcePos default_at;
    SourcePos store_key_at;
};

// Parses one profile file's text. Problems of the file alone (syntax, unknown
// keys and names, values out of range) are appended to diagnostics; the result
// is empty when there was an error.
std::optional<ProfileFile> parse_profile(std::string_view text, const std::string &file_name,
                                         std::vector<Diagnostic> &diagnostics);
// Reads and parses a file.
std::optional<ProfileFile> read_profile(const std::string &path, std::vector<Diagnostic> &diagnostics);

// Reads every file of paths (a directory stands for its *.toml files in name
// order, which is the order decompile numbers them in) and checks them
// together. Every problem is appended to diagnostics; the result is empty when
// any is an error, or when no file was found.
std::optional<std::vector<ProfileFile>> read_profiles(const std::vector<std::string> &paths,
                                                      std::vector<Diagnostic> &diagnostics);

// Problems between files and things the driver accepts that a person surely did
// not mean: duplicate ids, switches to ids no file defines, subkey names that
// collide, dead zones that swallow a bind, binds fighting over a joystick axis.
std::vector<Diagnostic> check(const std::vector<ProfileFile> &files);

// The store the files make, in their order: the default is default_id when
// given, else the profile a file marks as default, else the first profile.
Store make_store(const std::vector<ProfileFile> &files, std::optional<int16_t> default_id = std::nullopt);

// The profile as a file: named forms where they say the record exactly, raw
// forms where they cannot. parse_profile of the text gives the same bytes.
// is_default writes "default = true"; default_profile (when set) is written too.
// A profile switch is written by name only to an id of defined_ids (when
// given), since check refuses a switch to an id no file defines.
std::string to_toml(const Profile &profile, const std::string &store_key = "", bool is_default = false,
                    std::optional<int16_t> default_profile = std::nullopt,
                    const std::vector<int16_t> *defined_ids = nullptr);

// One line a bind, in list order, in words, as the driver will evaluate it:
// "ty inverted, dead zone 40 -> joystick axis y".
std::vector<std::string> describe(const Profile &profile);
std::string describe_bind(const Bind &bind, int16_t profile_dead_zone);

} // namespace mivo::profile
