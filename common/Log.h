#pragma once
// Logging facade over the optional Logger library. When the library is absent every
// call does nothing; the program never depends on a log line for its own behaviour.
#include <type_traits>

// Level 0: tracing. Level 1: server traffic, failures, dialog steps.
enum LogLevel
{
    LOG_TRACE = 0,
    LOG_INFO = 1,
};

typedef int(__cdecl* LoggerWritelnFn)(int level, const wchar_t* format, ...);

// Loads "Logger" once per process (at program start, before COM) and switches its
// console output on. Later calls do nothing.
void InitLog();

// The resolved Logger_Writeln, or null when the library is absent.
LoggerWritelnFn LogWriter();

// Writes one line: the format is expanded by the library (%s is a wide string).
template <typename... Args> void WriteLog(int level, const wchar_t* format, Args... args)
{
    static_assert((... && (std::is_arithmetic<Args>::value || std::is_pointer<Args>::value ||
                           std::is_enum<Args>::value || std::is_null_pointer<Args>::value)),
                  "log arguments are plain values; pass strings as pointers");
    if (LoggerWritelnFn fn = LogWriter())
        fn(level, format, args...);
}
