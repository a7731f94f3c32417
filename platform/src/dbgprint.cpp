// DbgPrintEx: Microsoft's format grammar, into a line sink that tests and tools read.
#include "kernel.h"

#include <array>
#include <atomic>
#include <cstdarg>

namespace host::detail {
namespace {

struct Sink {
    std::mutex lock;
    std::vector<LogLine> lines;
    std::string open; // text of the line not yet ended
    ULONG openComponent = 0;
    ULONG openLevel = 0;
    LONGLONG openTime = 0;
    std::function<void(const LogLine&)> observer;
};

Sink& TheSink() {
    static Sink* sink = new Sink; // never destroyed: detached threads may outlive exit
    return *sink;
}

// DbgPrintEx's filter: a mask per component, all levels open at boot, and the system-wide mask,
// which Windows keeps at the error level's bit.
constexpr size_t FilterComponents = 256;
constexpr ULONG OpenMask = 0xFFFFFFFF;
constexpr ULONG SystemMask = 1u << DPFLTR_ERROR_LEVEL;

std::array<std::atomic<ULONG>, FilterComponents>& FilterMasks() {
    static auto* masks = [] {
        auto* fresh = new std::array<std::atomic<ULONG>, FilterComponents>;
        for (std::atomic<ULONG>& mask : *fresh) {
            mask = OpenMask;
        }
        return fresh;
    }();
    return *masks;
}

bool PassesFilter(ULONG component, ULONG level) {
    ULONG bit = level < 32 ? 1u << level : level;
    ULONG mask = component < FilterComponents ? FilterMasks()[component].load() : OpenMask;
    return (bit & (mask | SystemMask)) != 0;
}

enum class Size { Default, Short, Long, LongLong, Pointer, Wide };

std::string Pad(std::string body, int width, bool left, char fill) {
    if (width > 0 && static_cast<int>(body.size()) < width) {
        size_t count = static_cast<size_t>(width) - body.size();
        if (left) {
            body.append(count, ' ');
        } else if (fill == '0' && !body.empty() && (body[0] == '-' || body[0] == '+')) {
            body.insert(1, count, '0');
        } else if (fill == '0' && body.size() > 1 && body[0] == '0' &&
                   (body[1] == 'x' || body[1] == 'X')) {
            body.insert(2, count, '0');
        } else {
            body.insert(0, count, fill);
        }
    }
    return body;
}

std::string Narrow(const WCHAR* text, int precision) {
    std::string result;
    if (text == nullptr) {
        return "(null)";
    }
    for (size_t i = 0; text[i] != 0 && (precision < 0 || static_cast<int>(i) < precision); ++i) {
        result += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
    return result;
}

std::string Format(const char* format, va_list args) {
    std::string out;
    for (const char* p = format; *p != 0; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        bool left = false, plus = false, space = false, alternate = false;
        char fill = ' ';
        for (;; ++p) {
            if (*p == '-') {
                left = true;
            } else if (*p == '+') {
                plus = true;
            } else if (*p == ' ') {
                space = true;
            } else if (*p == '#') {
                alternate = true;
            } else if (*p == '0') {
                fill = '0';
            } else {
                break;
            }
        }
        int width = 0;
        if (*p == '*') {
            width = va_arg(args, int);
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                width = width * 10 + (*p++ - '0');
            }
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    precision = precision * 10 + (*p++ - '0');
                }
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
        } else if (p[0] == 'l') {
            size = Size::Long; // a Windows long is 32 bits
            ++p;
        } else if (p[0] == 'h') {
            size = Size::Short;
            ++p;
        } else if (p[0] == 'w') {
            size = Size::Wide;
            ++p;
        }
        char type = *p;
        if (type == 0) {
            out.append(start);
            break;
        }
        std::string body;
        switch (type) {
        case '%':
            out += '%';
            continue;
        case 'd':
        case 'i': {
            long long value = size == Size::LongLong ? va_arg(args, long long)
                              : size == Size::Pointer
                                  ? static_cast<long long>(va_arg(args, intptr_t))
                                  : va_arg(args, int);
            if (size == Size::Short) {
                value = static_cast<short>(value);
            }
            body = std::to_string(value < 0 ? -static_cast<unsigned long long>(value)
                                            : static_cast<unsigned long long>(value));
            if (precision >= 0 && static_cast<int>(body.size()) < precision) {
                body.insert(0, static_cast<size_t>(precision) - body.size(), '0');
            }
            body.insert(0, value < 0 ? "-" : plus ? "+" : space ? " " : "");
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            unsigned long long value =
                size == Size::LongLong  ? va_arg(args, unsigned long long)
                : size == Size::Pointer ? static_cast<unsigned long long>(va_arg(args, uintptr_t))
                                        : va_arg(args, unsigned int);
            if (size == Size::Short) {
                value = static_cast<unsigned short>(value);
            }
            char digits[32];
            const char* conversion = type == 'u'   ? "%llu"
                                     : type == 'x' ? "%llx"
                                     : type == 'X' ? "%llX"
                                                   : "%llo";
            std::snprintf(digits, sizeof digits, conversion, value);
            body = digits;
            if (precision >= 0 && static_cast<int>(body.size()) < precision) {
                body.insert(0, static_cast<size_t>(precision) - body.size(), '0');
            }
            if (alternate && value != 0) {
                body.insert(0, type == 'x' ? "0x" : type == 'X' ? "0X" : type == 'o' ? "0" : "");
            }
            break;
        }
        case 'p': {
            char digits[32];
            std::snprintf(
                digits, sizeof digits, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
            body = digits;
            break;
        }
        case 'c':
        case 'C': {
            int value = va_arg(args, int);
            body = std::string(1, static_cast<char>(value < 0x100 ? value : '?'));
            break;
        }
        case 's':
        case 'S': {
            bool wide = (type == 'S' && size != Size::Short) || size == Size::Wide ||
                        (type == 's' && size == Size::Long);
            if (wide) {
                body = Narrow(va_arg(args, const WCHAR*), precision);
            } else {
                const char* text = va_arg(args, const char*);
                body = text == nullptr ? "(null)"
                       : precision >= 0
                           ? std::string(text, strnlen(text, static_cast<size_t>(precision)))
                           : std::string(text);
            }
            break;
        }
        case 'Z': {
            if (size == Size::Wide) {
                auto* string = va_arg(args, PUNICODE_STRING);
                body = string == nullptr || string->Buffer == nullptr
                           ? "(null)"
                           : Narrow(std::u16string(string->Buffer, string->Length / 2).c_str(),
                                    precision);
            } else {
                auto* string = va_arg(args, PANSI_STRING);
                body = string == nullptr || string->Buffer == nullptr
                           ? "(null)"
                           : std::string(string->Buffer, string->Length);
            }
            break;
        }
        default:
            // Not a conversion: print what was written.
            out.append(start, p + 1);
            continue;
        }
        out += Pad(body, width, left, (type == 's' || type == 'S' || type == 'c') ? ' ' : fill);
    }
    return out;
}

void Emit(ULONG component, ULONG level, const std::string& text) {
    Sink& sink = TheSink();
    std::vector<LogLine> completed;
    std::function<void(const LogLine&)> observer;
    {
        std::lock_guard<std::mutex> guard(sink.lock);
        for (char c : text) {
            if (sink.open.empty() && sink.openTime == 0) {
                sink.openComponent = component;
                sink.openLevel = level;
                sink.openTime = KernelNow() + 1;
            }
            if (c == '\n') {
                LogLine line{sink.openComponent, sink.openLevel, sink.openTime - 1, sink.open};
                sink.lines.push_back(line);
                completed.push_back(std::move(line));
                sink.open.clear();
                sink.openTime = 0;
            } else {
                sink.open += c;
            }
        }
        observer = sink.observer;
    }
    if (observer) {
        for (const LogLine& line : completed) {
            observer(line);
        }
    }
}

} // namespace

void ResetLog() {
    ClearLog();
    for (std::atomic<ULONG>& mask : FilterMasks()) {
        mask = OpenMask;
    }
}

} // namespace host::detail

namespace host {

std::vector<LogLine> LogLines() {
    std::lock_guard<std::mutex> guard(detail::TheSink().lock);
    return detail::TheSink().lines;
}

std::vector<std::string> LogTexts() {
    std::vector<std::string> texts;
    for (const LogLine& line : LogLines()) {
        texts.push_back(line.text);
    }
    return texts;
}

void ClearLog() {
    std::lock_guard<std::mutex> guard(detail::TheSink().lock);
    detail::TheSink().lines.clear();
    detail::TheSink().open.clear();
    detail::TheSink().openTime = 0;
}

void SetDebugPrintFilter(ULONG component, ULONG mask) {
    if (component < detail::FilterComponents) {
        detail::FilterMasks()[component] = mask;
    }
}

void SetLogObserver(std::function<void(const LogLine&)> observer) {
    std::lock_guard<std::mutex> guard(detail::TheSink().lock);
    detail::TheSink().observer = std::move(observer);
}

} // namespace host

extern "C" {

ULONG CDECL_API DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    host::detail::CheckDdiIrql(host::detail::Ddi::DbgPrintEx);
    // As on Windows, a filtered call costs no formatting.
    if (!host::detail::PassesFilter(ComponentId, Level)) {
        return STATUS_SUCCESS;
    }
    va_list args;
    va_start(args, Format);
    std::string text = host::detail::Format(Format, args);
    va_end(args);
    host::detail::Emit(ComponentId, Level, text);
    return STATUS_SUCCESS;
}

ULONG CDECL_API DbgPrint(PCSTR Format, ...) {
    host::detail::CheckDdiIrql(host::detail::Ddi::DbgPrint);
    va_list args;
    va_start(args, Format);
    std::string text = host::detail::Format(Format, args);
    va_end(args);
    host::detail::Emit(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, text);
    return STATUS_SUCCESS;
}

} // extern "C"
