// expected_messages.h
//
// The driver's messages as the test bed expects them: UTF-8 text, written
// here independently of the driver's GBK byte strings, with the byte count
// each must have in GBK. Expected transcripts are built from these.

#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarnhold::fault_sweep {

struct MessageFormat {
    std::string_view text;  // UTF-8, with its %ws or %08X
    size_t gbkBytes;
};

namespace message {
inline constexpr MessageFormat DriverEntry{"驱动入口", 8};
inline constexpr MessageFormat DriverExit{"执行完退出", 10};
inline constexpr MessageFormat CreatingDirectory{"创建目录: %ws ", 14};
inline constexpr MessageFormat DirectoryCreated{"目录创建", 8};
inline constexpr MessageFormat DirectoryOpened{"目录共享", 8};
inline constexpr MessageFormat DirectoryFailed{"无法创建目录,错误代码 %08X", 26};
inline constexpr MessageFormat CreatingFile{"创建文件 %ws ", 13};
inline constexpr MessageFormat FileCreated{"文件创建成功", 12};
inline constexpr MessageFormat FileCreateFailed{"文件创建失败,错误代码: %08X", 27};
inline constexpr MessageFormat OpeningFile{"打开文件准备写入数据", 20};
inline constexpr MessageFormat FileOpened{"文件打开成功", 12};
inline constexpr MessageFormat FileOpenFailed{"无法打开文件,错误代码: %08X", 27};
inline constexpr MessageFormat FileWritten{"文件写入成功", 12};
inline constexpr MessageFormat FileWriteFailed{"无法写入文件,错误代码: %08X", 27};
}  // namespace message

inline constexpr std::array<MessageFormat, 14> AllMessages{
    message::DriverEntry,      message::DriverExit,      message::CreatingDirectory, message::DirectoryCreated,
    message::DirectoryOpened,  message::DirectoryFailed, message::CreatingFile,      message::FileCreated,
    message::FileCreateFailed, message::OpeningFile,     message::FileOpened,        message::FileOpenFailed,
    message::FileWritten,      message::FileWriteFailed};

inline constexpr std::string_view WorkDirectoryPath = R"(\??\c:\Quarnhold)";
inline constexpr std::string_view TestFilePath = R"(\??\c:\Quarnhold\test.txt)";
// 这里就是文件的内容了 in GBK.
inline constexpr std::string_view TestFileContent =
    "\xD5\xE2\xC0\xEF\xBE\xCD\xCA\xC7\xCE\xC4\xBC\xFE\xB5\xC4\xC4\xDA\xC8\xDD\xC1\xCB";

// The message as printed: "%ws" replaced by the matching path, "%08X" by the
// status in eight upper-case hex digits.
std::string Printed(const MessageFormat& format);
std::string Printed(const MessageFormat& format, uint32_t status);

}  // namespace quarnhold::fault_sweep
