// paths.cpp
//
// Both paths keep a terminating NUL after the counted characters, so that
// MaximumLength = Length + 2 and a Buffer can also be printed with %ws.

#include "steps/paths.h"

namespace {

constexpr WCHAR WorkDirectoryName[] = u"\\??\\c:\\Quarnhold";
constexpr WCHAR TestFileName[] = u"\\??\\c:\\Quarnhold\\test.txt";

// Builds a counted string over a NUL-terminated constant array.
template <size_t Count>
constexpr UNICODE_STRING CountedString(const WCHAR (&Text)[Count])
{
    return UNICODE_STRING{
        static_cast<USHORT>((Count - 1) * sizeof(WCHAR)),
        static_cast<USHORT>(Count * sizeof(WCHAR)),
        const_cast<PWSTR>(Text)};
}

}  // namespace

// constinit: the image has no runtime to run constructors, so these must be
// laid down by the linker as they stand.
constinit const UNICODE_STRING WorkDirectoryPath = CountedString(WorkDirectoryName);
constinit const UNICODE_STRING TestFilePath = CountedString(TestFileName);

static_assert(sizeof(WorkDirectoryName) == 34, "16 characters and a NUL");
static_assert(sizeof(TestFileName) == 52, "25 characters and a NUL");

// 这里就是文件的内容了
constinit const char TestFileContent[TestFileContentLength + 1] =
    "\xD5\xE2\xC0\xEF\xBE\xCD\xCA\xC7\xCE\xC4\xBC\xFE\xB5\xC4\xC4\xDA\xC8\xDD\xC1\xCB";
