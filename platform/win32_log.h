// The setup log: SORVanActiveXSetup.log in the temporary folder that
// GetTempPathW gives (the user's own; the system's for SYSTEM), UTF-8 with a
// byte-order mark, one line per event, each with the local time and the
// process id. Nothing of the setup depends on it: when the log cannot be
// opened or written, every function here does nothing.
#pragma once

#include <cstdint>

namespace platform {

// Opens the log for appending, once per process. The folder is the user's
// and writable by the user's unelevated programs, while the setup runs
// elevated: a link or junction planted there is never followed (a reparse
// point, or a file with more than one hard link, is refused and the log
// skipped), and no other path is created or written. Past 256 KB the log is
// kept once as SORVanActiveXSetup.log.old and a new one begun.
void OpenSetupLog();

// The first line of a run: the date, the program's path and file version,
// the Windows version, the account, and whether the run is elevated and on a
// window station someone sees.
void LogStartLine();

// The last line of a run: its exit code and what it means.
void LogExitLine(int exitCode);

// One line of the log: the local time and the process id, then `format`, an
// ASCII format of at most 127 characters as msvcrt's _snwprintf reads it
// (%s is a wide string, %hs a narrow one), with its arguments. Bounded: a
// line that would not fit is cut short.
void LogLine(const char* format, ...);

// The same for a step, followed by how it ended: ": ok", or ": " and the
// Windows error as number and name.
void LogStep(std::uint32_t status, const char* format, ...);

// A text of the engine in the system's ANSI code page (or another), as the
// log's formats take it; "?" where it cannot be read.
class WideText {
public:
    explicit WideText(const char* text, unsigned codePage = 0 /* CP_ACP */);
    // A path of the engine: 1023 characters and the NUL.
    wchar_t text[1024];
    // The characters converted with the NUL; 0 when the text could not be.
    int count;
};

}  // namespace platform
