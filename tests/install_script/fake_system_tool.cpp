// fake_system_tool.cpp
//
// Stands in for sc.exe, net.exe, fltmc.exe and certutil.exe when the install
// script runs under Wine's cmd in a test. Copied under each tool's name into
// a make-believe %SystemRoot%\System32, it appends its command line to the
// file QUARNHOLD_FAKE_TOOLS_LOG, then answers from the folder
// QUARNHOLD_FAKE_TOOLS_REPLIES: the file "<tool> <first argument>.txt", or
// failing that "<tool>.txt", holds the exit code on its first line and the
// output after it. With no reply file it prints nothing and exits 0.
//
// A freestanding Windows program: no C runtime, only kernel32.

typedef wchar_t wchar;  // 16 bits on Windows
typedef unsigned long DWORD;
typedef int BOOL;
typedef void* HANDLE;

extern "C" {
__declspec(dllimport) wchar* __stdcall GetCommandLineW();
__declspec(dllimport) DWORD __stdcall GetModuleFileNameW(HANDLE module, wchar* name, DWORD size);
__declspec(dllimport) DWORD __stdcall GetEnvironmentVariableW(const wchar* name, wchar* value, DWORD size);
__declspec(dllimport) HANDLE __stdcall CreateFileW(const wchar* name, DWORD access, DWORD share, void* security,
                                                  DWORD disposition, DWORD flags, HANDLE templateFile);
__declspec(dllimport) BOOL __stdcall ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read, void* overlapped);
__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* written,
                                               void* overlapped);
__declspec(dllimport) BOOL __stdcall CloseHandle(HANDLE handle);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) int __stdcall WideCharToMultiByte(unsigned codePage, DWORD flags, const wchar* text, int length,
                                                        char* bytes, int size, const char* fallback, BOOL* used);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned code);
}

namespace {

constexpr DWORD GenericRead = 0x80000000, FileAppendData = 0x4, ShareAll = 7, OpenExisting = 3, OpenAlways = 4;
const HANDLE InvalidHandle = reinterpret_cast<HANDLE>(-1);
constexpr DWORD StdOutput = static_cast<DWORD>(-11);

// Appends `text` after `into`'s first `length` units; returns the new length.
DWORD Append(wchar* into, DWORD length, const wchar* text, DWORD limit)
{
    while (*text && length + 1 < limit) into[length++] = *text++;
    into[length] = 0;
    return length;
}

// Appends the command line, in UTF-8 and with a line break, to the log.
void Log(const wchar* commandLine)
{
    wchar path[1024];
    if (GetEnvironmentVariableW(L"QUARNHOLD_FAKE_TOOLS_LOG", path, 1024) == 0) return;
    HANDLE log = CreateFileW(path, FileAppendData, ShareAll, nullptr, OpenAlways, 0, nullptr);
    if (log == InvalidHandle) return;
    static char bytes[8192];
    int length = WideCharToMultiByte(65001, 0, commandLine, -1, bytes, sizeof(bytes) - 2, nullptr, nullptr);
    if (length > 0) {
        bytes[length - 1] = '\r';
        bytes[length] = '\n';
        DWORD written;
        WriteFile(log, bytes, static_cast<DWORD>(length + 1), &written, nullptr);
    }
    CloseHandle(log);
}

// The tool's own name without ".exe", lower case.
DWORD ToolName(wchar* name, DWORD limit)
{
    wchar path[1024];
    DWORD length = GetModuleFileNameW(nullptr, path, 1024);
    DWORD start = 0;
    for (DWORD i = 0; i < length; ++i) {
        if (path[i] == '\\' || path[i] == '/') start = i + 1;
    }
    DWORD out = 0;
    for (DWORD i = start; i < length && path[i] != '.' && out + 1 < limit; ++i) {
        wchar c = path[i];
        name[out++] = (c >= 'A' && c <= 'Z') ? static_cast<wchar>(c + 32) : c;
    }
    name[out] = 0;
    return out;
}

// The command line's first argument after the program, lower case.
void FirstArgument(const wchar* commandLine, wchar* argument, DWORD limit)
{
    const wchar* at = commandLine;
    if (*at == '"') {
        ++at;
        while (*at && *at != '"') ++at;
        if (*at) ++at;
    } else {
        while (*at && *at != ' ') ++at;
    }
    while (*at == ' ') ++at;
    DWORD out = 0;
    while (*at && *at != ' ' && *at != '"' && out + 1 < limit) {
        wchar c = *at++;
        argument[out++] = (c >= 'A' && c <= 'Z') ? static_cast<wchar>(c + 32) : c;
    }
    argument[out] = 0;
}

HANDLE OpenReply(const wchar* folder, const wchar* tool, const wchar* argument)
{
    static wchar path[2048];
    DWORD length = Append(path, 0, folder, 2048);
    length = Append(path, length, L"\\", 2048);
    length = Append(path, length, tool, 2048);
    if (*argument) {
        length = Append(path, length, L" ", 2048);
        length = Append(path, length, argument, 2048);
    }
    Append(path, length, L".txt", 2048);
    return CreateFileW(path, GenericRead, ShareAll, nullptr, OpenExisting, 0, nullptr);
}

}  // namespace

extern "C" void Start()
{
    const wchar* commandLine = GetCommandLineW();
    Log(commandLine);

    static wchar folder[1024], tool[64], argument[64];
    if (GetEnvironmentVariableW(L"QUARNHOLD_FAKE_TOOLS_REPLIES", folder, 1024) == 0) ExitProcess(0);
    ToolName(tool, 64);
    FirstArgument(commandLine, argument, 64);
    HANDLE reply = OpenReply(folder, tool, argument);
    if (reply == InvalidHandle) reply = OpenReply(folder, tool, L"");
    if (reply == InvalidHandle) ExitProcess(0);

    static char text[65536];
    DWORD size = 0;
    ReadFile(reply, text, sizeof(text), &size, nullptr);
    CloseHandle(reply);

    // The first line is the exit code, in decimal, maybe negative.
    DWORD at = 0;
    bool negative = false;
    if (at < size && text[at] == '-') {
        negative = true;
        ++at;
    }
    unsigned code = 0;
    while (at < size && text[at] >= '0' && text[at] <= '9') code = code * 10 + static_cast<unsigned>(text[at++] - '0');
    while (at < size && text[at] != '\n') ++at;
    if (at < size) ++at;
    DWORD written;
    WriteFile(GetStdHandle(StdOutput), text + at, size - at, &written, nullptr);
    ExitProcess(negative ? 0u - code : code);
}
