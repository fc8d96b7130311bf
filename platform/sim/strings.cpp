// Counted UTF-16 strings: lengths in bytes, no terminating NUL counted, one
// written after the text when the buffer has room for it.

#include <string>

#include "platform/sim/internal.h"
#include "platform/sim/sim.h"

namespace {

size_t wide_length(PCWSTR s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

void terminate_if_room(PUNICODE_STRING s) {
    if (static_cast<size_t>(s->Length) + sizeof(WCHAR) <= s->MaximumLength)
        s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS append(PUNICODE_STRING Destination, PCWSTR text, size_t bytes) {
    if (static_cast<size_t>(Destination->Length) + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    if (bytes != 0)
        __builtin_memmove(reinterpret_cast<char *>(Destination->Buffer) + Destination->Length, text, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    terminate_if_room(Destination);
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = wide_length(SourceString) * sizeof(WCHAR);
    // The kernel caps the length so that MaximumLength still fits a USHORT.
    if (bytes > 0xFFFC)
        bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    // Truncated to what the destination holds, whole characters only.
    size_t bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = DestinationString->MaximumLength & ~size_t{1};
    if (bytes != 0)
        __builtin_memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = static_cast<USHORT>(bytes);
    terminate_if_room(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr)
        return STATUS_SUCCESS;
    return append(Destination, Source, wide_length(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source == nullptr || Source->Length == 0)
        return STATUS_SUCCESS;
    return append(Destination, Source->Buffer, Source->Length);
}

} // extern "C"

void sim::internal::append_utf8(std::string &out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string sim::utf16_to_utf8(std::u16string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD; // a lone surrogate
        }
        internal::append_utf8(out, c);
    }
    return out;
}

std::u16string sim::utf8_to_utf16(std::string_view s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        size_t extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : 4;
        char32_t c = 0xFFFD;
        size_t used = 1;
        if (extra == 0) {
            c = b;
        } else if (extra < 4 && i + extra < s.size()) {
            char32_t acc = b & (0x3F >> extra);
            bool ok = true;
            for (size_t k = 1; k <= extra; k++) {
                unsigned char t = static_cast<unsigned char>(s[i + k]);
                if ((t & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                acc = (acc << 6) | (t & 0x3F);
            }
            // The shortest form only, and no surrogate: an overlong
            // sequence would smuggle in a character the text does not show
            // (C0 8A is a line feed, C1 9C a backslash).
            static const char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
            if (ok && acc >= kLeast[extra] && acc <= 0x10FFFF && !(acc >= 0xD800 && acc < 0xE000)) {
                c = acc;
                used = extra + 1;
            }
        }
        i += used;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}
