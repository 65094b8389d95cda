// paths.h
//
// The constant data the file steps share: the two counted paths and the text
// written into the test file.

#pragma once

#include "kernel/kernel_services.h"

// "\??\c:\Quarnhold": the work directory, through the drive-letter link.
extern const UNICODE_STRING WorkDirectoryPath;

// "\??\c:\Quarnhold\test.txt": the test file inside it.
extern const UNICODE_STRING TestFilePath;

// "这里就是文件的内容了" in GBK, 20 bytes, followed by a zero byte that is not
// written.
constexpr ULONG TestFileContentLength = 20;
extern const char TestFileContent[TestFileContentLength + 1];
