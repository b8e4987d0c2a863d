#pragma once
// Shared by the test stand-ins: what a started program saw, appended to a record file.
//
// Each start appends one block of UTF-8 lines, ended by CRLF:
//   start=<process id>
//   cmdline=<GetCommandLineW()>
//   args=<the command line after the program name and the blanks that follow it>
//   cwd=<current folder>
//   end
// In the values '%' is written as %25, CR as %0D and LF as %0A, so every value fits one
// line and decodes back exactly.
#include <windows.h>

#include <string>

namespace stub
{
// The environment variable's value, or "" when unset.
std::wstring Env(const wchar_t* name);
// The environment variable as a number, or fallback when unset or not a number.
long EnvNumber(const wchar_t* name, long fallback);
// The command line after the program name (quoted or not) and the blanks after it.
const wchar_t* ArgumentString(const wchar_t* commandLine);
// Appends this process's block to file; false when it cannot be written.
bool AppendRecord(const std::wstring& file);
} // namespace stub
