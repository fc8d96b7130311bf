// DbgPrint: formats the way the kernel's debug print does and keeps the output
// as a trace that tests read back and tools show.
//
// Windows is LLP64: the 'l' size is 32 bits, 'll' and 'I64' are 64, 'I' is
// pointer-sized; %p is 16 upper-case hex digits. Wide strings (%ws, %S, %wZ)
// are UTF-16 and come out as UTF-8. A single print is cut at 512 bytes as the
// kernel's buffer is. Lines are put together per thread, so the three prints
// of one traced event stay one line even when other threads print meanwhile.

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/sim/executive.h"
#include "platform/sim/internal.h"

namespace {

constexpr size_t kMaxPrint = 512;

struct Trace {
    std::mutex lock;
    std::string done; // complete lines, each ending in '\n'
    std::vector<std::pair<std::thread::id, std::string>> open; // per-thread lines not yet ended
    // Read by DbgPrint before it takes the lock.
    std::atomic<bool> echo{false};
    std::atomic<bool> keep{true};
};

Trace &trace() {
    static Trace t;
    return t;
}

// count < 0: up to the NUL.
std::string from_utf16(const char16_t *s, long count) {
    size_t n = 0;
    if (count < 0) {
        while (s[n] != 0)
            ++n;
    } else {
        n = static_cast<size_t>(count);
    }
    return sim::utf16_to_utf8(std::u16string_view(s, n));
}

struct Conversion {
    bool left = false, zero = false, plus = false, space = false, alt = false;
    int width = 0;
    int precision = -1;
};

void pad(std::string &out, const std::string &body, const Conversion &sp) {
    size_t w = sp.width > 0 ? static_cast<size_t>(sp.width) : 0;
    if (body.size() >= w) {
        out += body;
    } else if (sp.left) {
        out += body;
        out.append(w - body.size(), ' ');
    } else {
        out.append(w - body.size(), ' ');
        out += body;
    }
}

void put_number(std::string &out, uint64_t magnitude, bool negative, unsigned base, bool upper, const Conversion &sp) {
    const char *digits_of = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), digits_of[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    if (sp.precision == 0 && digits == "0")
        digits.clear();
    if (sp.precision > 0 && digits.size() < static_cast<size_t>(sp.precision))
        digits.insert(0, static_cast<size_t>(sp.precision) - digits.size(), '0');
    std::string prefix;
    if (negative)
        prefix = "-";
    else if (sp.plus)
        prefix = "+";
    else if (sp.space)
        prefix = " ";
    if (sp.alt && base == 16 && !digits.empty())
        prefix += upper ? "0X" : "0x";
    if (sp.zero && !sp.left && sp.precision < 0 && sp.width > 0) {
        size_t body = prefix.size() + digits.size();
        if (body < static_cast<size_t>(sp.width))
            digits.insert(0, static_cast<size_t>(sp.width) - body, '0');
    }
    pad(out, prefix + digits, sp);
}

enum class Size { Default, Short, Char, Long, LongLong, Pointer, Wide };

std::string format(const char *fmt, va_list ap) {
    std::string out;
    for (const char *p = fmt; *p != 0; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char *start = p++;
        Conversion sp;
        for (;; ++p) {
            if (*p == '-')
                sp.left = true;
            else if (*p == '0')
                sp.zero = true;
            else if (*p == '+')
                sp.plus = true;
            else if (*p == ' ')
                sp.space = true;
            else if (*p == '#')
                sp.alt = true;
            else
                break;
        }
        if (*p == '*') {
            sp.width = va_arg(ap, int);
            if (sp.width < 0) {
                sp.left = true;
                sp.width = -sp.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                sp.width = sp.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            sp.precision = 0;
            if (*p == '*') {
                sp.precision = va_arg(ap, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    sp.precision = sp.precision * 10 + (*p++ - '0');
            }
        }
        Size size = Size::Default;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            size = Size::LongLong;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            size = Size::Long;
            p += 3;
        } else if (p[0] == 'I') {
            size = Size::Pointer;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            size = Size::LongLong;
            p += 2;
        } else if (p[0] == 'h' && p[1] == 'h') {
            size = Size::Char;
            p += 2;
        } else if (p[0] == 'l') {
            size = Size::Long;
            ++p;
        } else if (p[0] == 'h') {
            size = Size::Short;
            ++p;
        } else if (p[0] == 'w') {
            size = Size::Wide;
            ++p;
        }
        char conv = *p;
        switch (conv) {
        case 'd':
        case 'i': {
            int64_t v;
            if (size == Size::LongLong || size == Size::Pointer)
                v = va_arg(ap, long long);
            else if (size == Size::Short)
                v = static_cast<short>(va_arg(ap, int));
            else if (size == Size::Char)
                v = static_cast<signed char>(va_arg(ap, int));
            else
                v = va_arg(ap, int); // 'l' too: LONG is 32 bits
            uint64_t m = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            put_number(out, m, v < 0, 10, false, sp);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            uint64_t v;
            if (size == Size::LongLong || size == Size::Pointer)
                v = va_arg(ap, unsigned long long);
            else if (size == Size::Short)
                v = static_cast<unsigned short>(va_arg(ap, unsigned));
            else if (size == Size::Char)
                v = static_cast<unsigned char>(va_arg(ap, unsigned));
            else
                v = va_arg(ap, unsigned);
            unsigned base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
            put_number(out, v, false, base, conv == 'X', sp);
            break;
        }
        case 'p': {
            void *v = va_arg(ap, void *);
            char buf[24];
            std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v)));
            Conversion plain;
            plain.width = sp.width;
            plain.left = sp.left;
            pad(out, buf, plain);
            break;
        }
        case 'c':
        case 'C': {
            int v = va_arg(ap, int);
            std::string body;
            if (conv == 'C' || size == Size::Wide)
                sim::internal::append_utf8(body, static_cast<char16_t>(v));
            else
                body = static_cast<char>(v);
            pad(out, body, sp);
            break;
        }
        case 's':
        case 'S': {
            std::string body;
            bool wide = conv == 'S' || size == Size::Wide;
            if (wide) {
                const char16_t *s = va_arg(ap, const char16_t *);
                body = s == nullptr ? "(null)" : from_utf16(s, -1);
            } else {
                const char *s = va_arg(ap, const char *);
                body = s == nullptr ? "(null)" : s;
            }
            if (sp.precision >= 0 && body.size() > static_cast<size_t>(sp.precision))
                body.resize(static_cast<size_t>(sp.precision));
            pad(out, body, sp);
            break;
        }
        case 'Z': {
            // Counted strings: UNICODE_STRING with 'w', ANSI_STRING without.
            std::string body;
            if (size == Size::Wide) {
                auto *s = va_arg(ap, const UNICODE_STRING *);
                body = s == nullptr || s->Buffer == nullptr ? "(null)" : from_utf16(s->Buffer, s->Length / 2);
            } else {
                struct Ansi {
                    USHORT Length;
                    USHORT MaximumLength;
                    const char *Buffer;
                };
                auto *s = va_arg(ap, const Ansi *);
                body = s == nullptr || s->Buffer == nullptr ? "(null)" : std::string(s->Buffer, s->Length);
            }
            pad(out, body, sp);
            break;
        }
        case '%':
            out += '%';
            break;
        case 0:
            // A lone '%' at the end.
            out.append(start, p);
            --p;
            break;
        default:
            out.append(start, p + 1);
            break;
        }
    }
    return out;
}

} // namespace

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    Trace &t = trace();
    // Nobody reads it and nobody watches it: the print goes nowhere, as on a
    // machine without a debugger.
    if (!t.keep.load(std::memory_order_relaxed) && !t.echo.load(std::memory_order_relaxed))
        return STATUS_SUCCESS;
    va_list ap;
    va_start(ap, Format);
    std::string text = Format == nullptr ? std::string() : format(Format, ap);
    va_end(ap);
    if (text.size() > kMaxPrint)
        text.resize(kMaxPrint);
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.echo.load()) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    if (!t.keep.load(std::memory_order_relaxed))
        return STATUS_SUCCESS;
    auto me = std::this_thread::get_id();
    size_t i = 0;
    while (i < t.open.size() && t.open[i].first != me)
        ++i;
    if (i == t.open.size())
        t.open.emplace_back(me, std::string());
    std::string &line = t.open[i].second;
    line += text;
    size_t end = line.rfind('\n');
    if (end != std::string::npos) {
        t.done.append(line, 0, end + 1);
        line.erase(0, end + 1);
    }
    if (line.empty())
        t.open.erase(t.open.begin() + static_cast<long>(i));
    return STATUS_SUCCESS;
}

namespace sim {

std::vector<std::string> trace_lines() {
    Trace &t = trace();
    std::lock_guard<std::mutex> guard(t.lock);
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t nl; (nl = t.done.find('\n', from)) != std::string::npos; from = nl + 1)
        lines.emplace_back(t.done, from, nl - from);
    for (auto &[id, line] : t.open)
        lines.push_back(line);
    return lines;
}

std::string trace_text() {
    Trace &t = trace();
    std::lock_guard<std::mutex> guard(t.lock);
    std::string text = t.done;
    for (size_t i = 0; i < t.open.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += t.open[i].second;
    }
    return text;
}

void trace_clear() {
    Trace &t = trace();
    std::lock_guard<std::mutex> guard(t.lock);
    t.done.clear();
    t.open.clear();
}

void trace_echo(bool on) {
    Trace &t = trace();
    std::lock_guard<std::mutex> guard(t.lock);
    t.echo.store(on);
}

void trace_keep(bool on) { trace().keep.store(on); }

namespace exec {

void trace_reset() {
    trace_clear();
    trace_keep(true);
}

} // namespace exec
} // namespace sim
