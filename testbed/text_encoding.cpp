// text_encoding.cpp
//
// iconv wrappers. Each direction has one descriptor per thread, opened on
// first use and kept: glibc loads GBK and UTF-16 as modules and unloads them
// when their last descriptor closes, and mapping them in and out again on
// every conversion was most of a fault sweep's time. iconv_t carries shift
// state and is not safe to share between threads, hence one per thread, reset
// before each conversion.

#include "testbed/text_encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quarnhold::testbed {
namespace {

// Owns one iconv descriptor.
class Converter {
public:
    Converter(const char* to, const char* from) : descriptor_(iconv_open(to, from))
    {
        if (descriptor_ == reinterpret_cast<iconv_t>(-1)) {
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
        }
    }
    ~Converter() { iconv_close(descriptor_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts `input` from the initial shift state; `onInvalid` decides
    // what happens at a sequence the descriptor refuses: it appends a
    // replacement to `output` and returns how many input bytes to skip, or 0
    // to give up.
    template <class OnInvalid>
    bool Convert(std::string_view input, std::string& output, size_t unit, OnInvalid onInvalid)
    {
        iconv(descriptor_, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        char buffer[256];
        while (inLeft > 0) {
            char* out = buffer;
            size_t outLeft = sizeof(buffer);
            size_t result = iconv(descriptor_, &in, &inLeft, &out, &outLeft);
            output.append(buffer, static_cast<size_t>(out - buffer));
            if (result != static_cast<size_t>(-1)) {
                continue;
            }
            if (errno == E2BIG) {
                continue;
            }
            // EILSEQ, or EINVAL for a sequence cut short at the end.
            size_t skip = onInvalid(output);
            if (skip == 0) {
                return false;
            }
            skip = std::min(std::max(skip, unit), inLeft);
            in += skip;
            inLeft -= skip;
            iconv(descriptor_, nullptr, nullptr, nullptr, nullptr);
        }
        return true;
    }

private:
    iconv_t descriptor_;
};

std::string_view AsBytes(std::u16string_view text)
{
    return {reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t)};
}

// The bytes of little-endian UTF-16 as code units; the host is little-endian.
std::u16string FromUtf16Bytes(const std::string& bytes)
{
    std::u16string text(bytes.size() / 2, u'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
    return text;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk)
{
    thread_local Converter converter("UTF-8", "GBK");
    std::string output;
    converter.Convert(gbk, output, 1, [](std::string& out) {
        out += "\xEF\xBF\xBD";
        return size_t{1};
    });
    return output;
}

std::optional<std::string> Utf8ToGbk(std::string_view utf8)
{
    thread_local Converter converter("GBK", "UTF-8");
    std::string output;
    if (!converter.Convert(utf8, output, 1, [](std::string&) { return size_t{0}; })) {
        return std::nullopt;
    }
    return output;
}

std::string Utf16ToGbkLossy(std::u16string_view utf16)
{
    thread_local Converter converter("GBK", "UTF-16LE");
    std::string output;
    converter.Convert(AsBytes(utf16), output, 2, [](std::string& out) {
        out += '?';
        return size_t{2};
    });
    return output;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16)
{
    thread_local Converter converter("UTF-8", "UTF-16LE");
    std::string output;
    if (!converter.Convert(AsBytes(utf16), output, 2, [](std::string&) { return size_t{0}; })) {
        return std::nullopt;
    }
    return output;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8)
{
    thread_local Converter converter("UTF-16LE", "UTF-8");
    std::string output;
    if (!converter.Convert(utf8, output, 1, [](std::string&) { return size_t{0}; })) {
        return std::nullopt;
    }
    return FromUtf16Bytes(output);
}

}  // namespace quarnhold::testbed
