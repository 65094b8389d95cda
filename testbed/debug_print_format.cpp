// debug_print_format.cpp
//
// A printf for DbgPrint: the conversions of the kernel's _vsnprintf with the
// Microsoft size prefixes (h, l, w, ll, I, I32, I64). Floating point and %n
// are refused, as kernel code must not use them.

#include "testbed/debug_print_format.h"

#include <algorithm>
#include <cstdio>

#include "testbed/text_encoding.h"

namespace quarnhold::testbed {
namespace {

enum class Size { Default, Short, Long, LongLong, Wide, Pointer };

// The widest field and the longest precision formatted: a message is cut at
// 512 bytes anyway, and a width the caller passes as an argument (`*`) may
// be anything up to INT_MAX.
constexpr int FieldLimit = 4096;

// A width or precision's magnitude, capped at FieldLimit; defined for every
// 32-bit value, INT_MIN included.
int Capped(int64_t value)
{
    return static_cast<int>(std::min<int64_t>(value < 0 ? -value : value, FieldLimit));
}

struct Conversion {
    bool leftAlign = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zeroPad = false;
    int width = 0;
    std::optional<int> precision;
    Size size = Size::Default;
    char type = 0;
};

// Reads the size prefix at format[at]; returns where the conversion letter is.
size_t ReadSize(std::string_view format, size_t at, Size& size)
{
    auto next = [&](std::string_view text) { return format.substr(at, text.size()) == text; };
    if (next("I64")) { size = Size::LongLong; return at + 3; }
    if (next("I32")) { size = Size::Default; return at + 3; }
    if (next("ll")) { size = Size::LongLong; return at + 2; }
    if (next("I")) { size = Size::Pointer; return at + 1; }
    if (next("h")) { size = Size::Short; return at + 1; }
    if (next("l")) { size = Size::Long; return at + 1; }
    if (next("w")) { size = Size::Wide; return at + 1; }
    return at;
}

// Pads `body` (with its sign or prefix in `prefix`) to the conversion's width.
void Pad(std::string& out, const Conversion& c, std::string_view prefix, std::string_view body, bool zeroAllowed)
{
    size_t length = prefix.size() + body.size();
    size_t fill = c.width > 0 && static_cast<size_t>(c.width) > length ? c.width - length : 0;
    if (c.leftAlign) {
        out.append(prefix).append(body).append(fill, ' ');
    } else if (c.zeroPad && zeroAllowed) {
        out.append(prefix).append(fill, '0').append(body);
    } else {
        out.append(fill, ' ').append(prefix).append(body);
    }
}

std::string Digits(uint64_t value, unsigned base, bool upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % base]);
        value /= base;
    } while (value != 0);
    return text;
}

void FormatInteger(std::string& out, const Conversion& c, FormatArguments& args, int pointerBits)
{
    bool wide = c.size == Size::LongLong || (c.size == Size::Pointer && pointerBits == 64);
    uint64_t raw = wide ? args.NextInt64() : args.NextInt32();
    bool isSigned = c.type == 'd' || c.type == 'i';
    bool negative = false;
    uint64_t magnitude = raw;
    if (c.size == Size::Short) {
        magnitude = isSigned ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(raw)))
                             : static_cast<uint16_t>(raw);
    } else if (!wide) {
        magnitude = isSigned ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(raw)))
                             : static_cast<uint32_t>(raw);
    }
    if (isSigned && static_cast<int64_t>(magnitude) < 0) {
        negative = true;
        magnitude = 0 - magnitude;
    }

    unsigned base = c.type == 'o' ? 8 : (c.type == 'x' || c.type == 'X') ? 16 : 10;
    std::string body = Digits(magnitude, base, c.type == 'X');
    if (c.precision) {
        if (*c.precision == 0 && magnitude == 0) {
            body.clear();
        } else if (body.size() < static_cast<size_t>(*c.precision)) {
            body.insert(0, *c.precision - body.size(), '0');
        }
    }

    std::string prefix;
    if (isSigned) {
        prefix = negative ? "-" : c.plus ? "+" : c.space ? " " : "";
    } else if (c.alternate && magnitude != 0) {
        if (base == 16) {
            prefix = c.type == 'X' ? "0X" : "0x";
        } else if (base == 8 && body.front() != '0') {
            body.insert(0, 1, '0');
        }
    }
    Pad(out, c, prefix, body, !c.precision);
}

// A wide string as DbgPrint emits it; the precision counts UTF-16 units.
void FormatWide(std::string& out, const Conversion& c, std::optional<std::u16string> text)
{
    if (c.precision && text && text->size() > static_cast<size_t>(*c.precision)) {
        text->resize(*c.precision);
    }
    Pad(out, c, "", text ? Utf16ToGbkLossy(*text) : std::string("(null)"), true);
}

void FormatNarrow(std::string& out, const Conversion& c, std::optional<std::string> text)
{
    if (c.precision && text && text->size() > static_cast<size_t>(*c.precision)) {
        text->resize(*c.precision);
    }
    Pad(out, c, "", text ? *text : std::string("(null)"), true);
}

class Formatter {
public:
    Formatter(FormatArguments& args) : args_(args), pointerBits_(args.PointerDigits() * 4) {}

    FormattedMessage Run(std::string_view format)
    {
        size_t at = 0;
        while (at < format.size()) {
            size_t percent = format.find('%', at);
            if (percent == std::string_view::npos) {
                result_.bytes.append(format.substr(at));
                break;
            }
            result_.bytes.append(format.substr(at, percent - at));
            at = Convert(format, percent);
        }
        return std::move(result_);
    }

private:
    // Emits the conversion that starts at format[percent]; returns the index
    // after it.
    size_t Convert(std::string_view format, size_t percent)
    {
        Conversion c;
        size_t at = percent + 1;
        for (; at < format.size(); ++at) {
            char flag = format[at];
            if (flag == '-') c.leftAlign = true;
            else if (flag == '+') c.plus = true;
            else if (flag == ' ') c.space = true;
            else if (flag == '#') c.alternate = true;
            else if (flag == '0') c.zeroPad = true;
            else break;
        }
        if (at < format.size() && format[at] == '*') {
            // A negative width is a '-' flag and its magnitude.
            int32_t width = static_cast<int32_t>(args_.NextInt32());
            c.leftAlign = c.leftAlign || width < 0;
            c.width = Capped(width);
            ++at;
        } else {
            at = ReadNumber(format, at, c.width);
        }
        if (at < format.size() && format[at] == '.') {
            ++at;
            int precision = 0;
            if (at < format.size() && format[at] == '*') {
                int32_t given = static_cast<int32_t>(args_.NextInt32());
                ++at;
                // A negative precision is taken as none.
                if (given >= 0) c.precision = Capped(given);
            } else {
                at = ReadNumber(format, at, precision);
                c.precision = precision;
            }
        }
        at = ReadSize(format, at, c.size);
        if (at >= format.size()) {
            Problem("format ends inside a conversion");
            result_.bytes.append(format.substr(percent));
            return format.size();
        }
        c.type = format[at];
        Emit(c, format.substr(percent, at + 1 - percent));
        return at + 1;
    }

    size_t ReadNumber(std::string_view format, size_t at, int& value)
    {
        value = 0;
        while (at < format.size() && format[at] >= '0' && format[at] <= '9') {
            value = std::min(value * 10 + (format[at] - '0'), FieldLimit);
            ++at;
        }
        return at;
    }

    void Emit(const Conversion& c, std::string_view conversionText)
    {
        switch (c.type) {
        case '%':
            result_.bytes += '%';
            return;
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
            FormatInteger(result_.bytes, c, args_, pointerBits_);
            return;
        case 'p': {
            std::string digits = Digits(args_.NextPointer(), 16, true);
            size_t width = static_cast<size_t>(args_.PointerDigits());
            digits.insert(0, width > digits.size() ? width - digits.size() : 0, '0');
            Pad(result_.bytes, c, "", digits, false);
            return;
        }
        case 'c': case 'C': {
            uint32_t value = args_.NextInt32();
            bool wide = c.type == 'C' ? c.size != Size::Short : (c.size == Size::Long || c.size == Size::Wide);
            Pad(result_.bytes, c, "",
                wide ? Utf16ToGbkLossy(std::u16string(1, static_cast<char16_t>(value)))
                     : std::string(1, static_cast<char>(value)),
                true);
            return;
        }
        case 's': case 'S': {
            bool wide = c.type == 'S' ? c.size != Size::Short : (c.size == Size::Long || c.size == Size::Wide);
            uint64_t address = args_.NextPointer();
            if (wide) {
                FormatWide(result_.bytes, c, address ? Read(args_.ReadWideString(address), conversionText) : std::nullopt);
            } else {
                FormatNarrow(result_.bytes, c, address ? Read(args_.ReadString(address), conversionText) : std::nullopt);
            }
            return;
        }
        case 'Z': {
            uint64_t address = args_.NextPointer();
            if (c.size == Size::Wide || c.size == Size::Long) {
                FormatWide(result_.bytes, c, address ? Read(args_.ReadCountedWideString(address), conversionText) : std::nullopt);
            } else {
                Problem(std::string("%Z of an ANSI_STRING is not modelled: ") + std::string(conversionText));
                result_.bytes.append(conversionText);
            }
            return;
        }
        case 'n':
            args_.NextPointer();
            Problem("%n is refused: it writes through an argument");
            return;
        case 'e': case 'E': case 'f': case 'g': case 'G': case 'a': case 'A':
            args_.NextInt64();
            Problem(std::string("floating point conversion in kernel code: ") + std::string(conversionText));
            result_.bytes.append(conversionText);
            return;
        default:
            Problem(std::string("unknown conversion ") + std::string(conversionText));
            result_.bytes.append(conversionText);
            return;
        }
    }

    template <class Text>
    std::optional<Text> Read(std::optional<Text> text, std::string_view conversionText)
    {
        if (!text) {
            Problem(std::string("the string argument of ") + std::string(conversionText) + " cannot be read");
        }
        return text;
    }

    void Problem(std::string text) { result_.problems.push_back(std::move(text)); }

    FormatArguments& args_;
    int pointerBits_;
    FormattedMessage result_;
};

}  // namespace

FormattedMessage FormatDebugMessage(std::string_view format, FormatArguments& arguments)
{
    return Formatter(arguments).Run(format);
}

}  // namespace quarnhold::testbed
