#include "platform/win32_log.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>

#include "platform/win32_platform.h"

namespace platform {

namespace {

// The open log, or null when there is none (INVALID_HANDLE_VALUE is a cast
// no compiler takes as a constant initialiser).
SORVAN_CONSTINIT HANDLE g_log = nullptr;

constexpr DWORD kLogLimit = 256 * 1024;
// The temporary folder is at most MAX_PATH characters with its backslash;
// the log's name and ".old" follow, and the NUL.
constexpr int kLogPathCount = MAX_PATH + 32;

// Opens `path` for appending without following a link: a reparse point is
// opened as itself and refused, as is a file with other names elsewhere (a
// hard link) and anything not a plain file. Writes go to the end whoever
// else appends (a second setup, started at the same time). Returns the
// handle and the file's size, or INVALID_HANDLE_VALUE.
HANDLE OpenPlainFile(const wchar_t* path, DWORD* size) {
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 || info.nFileSizeHigh != 0 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    *size = info.nFileSizeLow;
    return file;
}

// The Windows errors a setup meets, by name without the "ERROR_" that every
// one begins with; any other is logged by number alone.
struct ErrorName {
    std::uint16_t code;
    const char* name;
};
constexpr ErrorName kErrorNames[] = {
    {2, "FILE_NOT_FOUND"},     {3, "PATH_NOT_FOUND"},         {5, "ACCESS_DENIED"},
    {32, "SHARING_VIOLATION"}, {33, "LOCK_VIOLATION"},        {87, "INVALID_PARAMETER"},
    {112, "DISK_FULL"},        {126, "MOD_NOT_FOUND"},        {127, "PROC_NOT_FOUND"},
    {193, "BAD_EXE_FORMAT"},   {206, "FILENAME_EXCED_RANGE"}, {1114, "DLL_INIT_FAILED"},
    {1813, "RESOURCE_TYPE_NOT_FOUND"},
};

const char* NameOf(std::uint32_t error) {
    const ErrorName* found = std::find_if(std::begin(kErrorNames), std::end(kErrorNames),
                                          [error](const ErrorName& known) { return known.code == error; });
    return found != std::end(kErrorNames) ? found->name : nullptr;
}

}  // namespace

void OpenSetupLog() {
    if (g_log != nullptr) return;
    wchar_t folder[MAX_PATH + 1] = {};
    // GetTempPathW ends the folder with a backslash; 0 or more than MAX_PATH
    // is a failure or a folder this buffer does not hold.
    const DWORD folderLength = GetTempPathW(MAX_PATH + 1, folder);
    if (folderLength == 0 || folderLength > MAX_PATH) return;
    // A folder that is itself a link or junction could lead anywhere.
    const DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return;
    // Both names fit with their NULs: the buffers leave the last element zero.
    wchar_t path[kLogPathCount] = {};
    wchar_t old[kLogPathCount] = {};
    (void)_snwprintf(path, kLogPathCount - 1, L"%sSORVanActiveXSetup.log", folder);
    (void)_snwprintf(old, kLogPathCount - 1, L"%s.old", path);
    DWORD size = 0;
    HANDLE log = OpenPlainFile(path, &size);
    if (log != INVALID_HANDLE_VALUE && size > kLogLimit) {
        // Kept once: the older log goes. A rename moves the name alone, never
        // what a planted link points to.
        CloseHandle(log);
        log = MoveFileExW(path, old, MOVEFILE_REPLACE_EXISTING) ? OpenPlainFile(path, &size) : INVALID_HANDLE_VALUE;
    }
    if (log == INVALID_HANDLE_VALUE || size > kLogLimit) {
        if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
        return;
    }
    if (size == 0) {
        // A new log: the byte-order mark tells Notepad and CMTrace it is UTF-8.
        DWORD written = 0;
        (void)WriteFile(log, "\xEF\xBB\xBF", 3, &written, nullptr);
    }
    g_log = log;
}

void LogStartLine() {
    // MAX_PATH characters and the NUL; an empty path where it is longer.
    wchar_t program[MAX_PATH + 1] = {};
    const DWORD programLength = GetModuleFileNameW(nullptr, program, MAX_PATH + 1);
    if (programLength > MAX_PATH) program[0] = L'\0';
    FileVersion version = {};
    (void)ReadVersionOf(program, &version);
    // The manifest declares every Windows up to 10 and 11, so the version
    // reported is the real one.
    OSVERSIONINFOW windows = {};
    windows.dwOSVersionInfoSize = sizeof windows;
    (void)GetVersionExW(&windows);
    // UNLEN (256) characters and the NUL.
    wchar_t account[257] = {};
    DWORD accountCount = 257;
    if (!GetUserNameW(account, &accountCount)) account[0] = L'\0';
    const char* elevated = "unknown";
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION elevation = {};
        DWORD returned = 0;
        if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &returned)) {
            elevated = elevation.TokenIsElevated ? "yes" : "no";
        }
        CloseHandle(token);
    }
    // The program takes no arguments and ignores any; one that an
    // administrator typed (/S, /uninstall) shows here.
    LogLine("start %s version %u.%u.%u.%u; Windows %lu.%lu.%lu; account %s; elevated %hs; window station %hs; "
            "command line %s",
            program, version.parts[0], version.parts[1], version.parts[2], version.parts[3], windows.dwMajorVersion,
            windows.dwMinorVersion, windows.dwBuildNumber, account, elevated,
            StationIsVisible() ? "visible" : "hidden", GetCommandLineW());
}

void LogExitLine(int exitCode) {
    LogLine("exit %d%hs", exitCode,
            exitCode == 0      ? ": installed"
            : exitCode == 1603 ? " ERROR_INSTALL_FAILURE: not installed"
            : exitCode == 1618 ? " ERROR_INSTALL_ALREADY_RUNNING: another setup is running, nothing was changed"
                               : "");
}

namespace {

// The time, the process id and the text, as UTF-8, with `status` after it
// unless it is null.
void WriteLine(const std::uint32_t* status, const char* format, va_list arguments) {
    if (g_log == nullptr) return;
    // The formats are plain ASCII, kept narrow to keep the program small.
    wchar_t wideFormat[128];
    int at = 0;
    for (; at < 127 && format[at] != '\0'; ++at) wideFormat[at] = static_cast<unsigned char>(format[at]);
    wideFormat[at] = L'\0';
    // A line names at most two paths of 1023 characters. The text takes all
    // but the last two elements, kept for the line end; it needs no NUL.
    wchar_t line[2400];
    constexpr int kText = sizeof line / sizeof line[0] - 2;
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    // _snwprintf returns a negative count when the text did not fit, having
    // filled the room it was given.
    int length = _snwprintf(line, kText, L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", now.wYear, now.wMonth,
                            now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, GetCurrentProcessId());
    if (length < 0) return;
    int added = _vsnwprintf(line + length, static_cast<std::size_t>(kText - length), wideFormat, arguments);
    length = added < 0 ? kText : length + added;
    if (status != nullptr) {
        const auto room = static_cast<std::size_t>(kText - length);
        const char* name = NameOf(*status);
        added = *status == ERROR_SUCCESS ? _snwprintf(line + length, room, L": ok")
                                         : _snwprintf(line + length, room, L": %u%hs%hs", *status,
                                                      name != nullptr ? " ERROR_" : "", name != nullptr ? name : "");
        length = added < 0 ? kText : length + added;
    }
    // A line break or any other control character in a text would split or
    // garble the line.
    for (int i = 0; i < length; ++i) {
        if (line[i] < L' ') line[i] = L' ';
    }
    line[length++] = L'\r';
    line[length++] = L'\n';
    // Up to three UTF-8 bytes for each UTF-16 unit.
    char bytes[3 * sizeof line / sizeof line[0]];
    const int count = WideCharToMultiByte(CP_UTF8, 0, line, length, bytes, sizeof bytes, nullptr, nullptr);
    DWORD written = 0;
    if (count > 0) (void)WriteFile(g_log, bytes, static_cast<DWORD>(count), &written, nullptr);
}

}  // namespace

// printf-style, as the formats are: the arguments go on, as a va_list, to
// msvcrt's bounded formatter.
void LogLine(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments{};
    va_start(arguments, format);
    WriteLine(nullptr, format, arguments);
    va_end(arguments);
}

void LogStep(std::uint32_t status, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments{};
    va_start(arguments, format);
    WriteLine(&status, format, arguments);
    va_end(arguments);
}

WideText::WideText(const char* source, unsigned codePage)
    : text(), count(MultiByteToWideChar(codePage, 0, source, -1, text, 1024)) {
    if (count == 0) {
        text[0] = L'?';
        text[1] = L'\0';
    }
}

}  // namespace platform
