#pragma once
// Helpers shared by the test programs: temporary folders, files, log capture through
// the Logger library, and child-process scenarios.
#include <windows.h>
#include <string>
#include <vector>

#include "common/Module.h" // ModulePath and ModuleFolder (without trailing backslash)

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return m_path; }
    // path() + L"\\" + name
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

  private:
    std::wstring m_path;
};

void RemoveTree(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool WriteUtf16File(const std::wstring& path, const std::wstring& text); // with BOM
std::string ReadBytes(const std::wstring& path);
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWideString(const std::string& text);

struct LogLine
{
    unsigned long thread = 0;
    int level = -1;
    std::wstring text;
};

// Points the Logger library at a fresh file for its lifetime and reads the lines back.
class LogCapture
{
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    const std::wstring& file() const { return m_file; }
    std::vector<LogLine> Lines() const;
    std::vector<std::wstring> Texts() const; // the text of every line, in order

  private:
    TempDir m_dir;
    std::wstring m_file;
    std::wstring m_previous;
    bool m_hadPrevious = false;
};

std::vector<LogLine> ParseLogFile(const std::wstring& path);

// Sets an environment variable of this process for the guard's lifetime (null value:
// unset), then puts back what was there.
class EnvGuard
{
  public:
    EnvGuard(const wchar_t* name, const wchar_t* value);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    std::wstring m_name;
    std::wstring m_previous;
    bool m_had = false;
};

// Runs a program with a command line, waits (bounded) and returns its exit code, or -1.
int RunProcess(const std::wstring& exe, const std::wstring& args, DWORD timeoutMs = 60000,
               const std::wstring& workDir = L"");

// "--child NAME args...": a test program that uses child scenarios registers its handler
// with a static ChildScenarioRegistrar; without one the child run fails with exit code 2.
typedef int (*ChildScenarioFn)(int argc, char** argv);
struct ChildScenarioRegistrar
{
    explicit ChildScenarioRegistrar(ChildScenarioFn fn);
};
int RunChildScenario(int argc, char** argv);
