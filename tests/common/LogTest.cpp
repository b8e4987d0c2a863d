// The logging facade and the Logger library together: what the programs write is
// what the tests read back.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <thread>
#include <vector>

#include "common/Log.h"
#include "support/TestSupport.h"

namespace
{
int ChildScenario(int argc, char** argv)
{
    if (argc >= 1 && strcmp(argv[0], "log-probe") == 0)
    {
        // Exit code 10 when the library is present, 11 when absent; the line is written
        // either way, so an absent library must make it a silent no-op.
        WriteLog(LOG_INFO, L"probe %s %d", L"child", 7);
        return LogWriter() ? 10 : 11;
    }
    return 2;
}
ChildScenarioRegistrar g_registrar(ChildScenario);
} // namespace

TEST(LogFacade, ExpandsWideFormatsWithLevelAndThread)
{
    ASSERT_NE(LogWriter(), nullptr) << "Logger.dll should sit beside the test program";
    LogCapture log;
    WriteLog(LOG_TRACE, L"CDownloaderEx::Download : lpURL=%s lpPath=%s", L"http://h/a b",
             L"C:\\\u00e9\u65e5.zip");
    WriteLog(LOG_INFO, L"ExecuteSync:%d hex=%x", 3, 0xBEEF);
    WriteLog(LOG_INFO, L"no arguments");
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, 0);
    EXPECT_EQ(lines[0].text, L"CDownloaderEx::Download : lpURL=http://h/a b lpPath=C:\\\u00e9\u65e5.zip");
    EXPECT_EQ(lines[0].thread, GetCurrentThreadId());
    EXPECT_EQ(lines[1].level, 1);
    EXPECT_EQ(lines[1].text, L"ExecuteSync:3 hex=beef");
    EXPECT_EQ(lines[2].text, L"no arguments");
}

TEST(LogFacade, TurnsTheConsoleEchoOnWithItsWidthAndLimit)
{
    ASSERT_NE(LogWriter(), nullptr);
    typedef int(__cdecl * GetConsoleFn)(int*, int*, int*);
    auto getConsole =
        reinterpret_cast<GetConsoleFn>(GetProcAddress(GetModuleHandleW(L"Logger"), "Logger_GetConsole"));
    ASSERT_NE(getConsole, nullptr);
    int enable = -1, width = -1, limit = -1;
    ASSERT_EQ(getConsole(&enable, &width, &limit), 1);
    EXPECT_EQ(enable, 1);
    EXPECT_EQ(width, 200);
    EXPECT_EQ(limit, 5000);
}

TEST(LogFacade, LongLinesAreWrittenWhole)
{
    LogCapture log;
    std::wstring value(20000, L'x');
    value[19999] = L'Z';
    WriteLog(LOG_TRACE, L"v=%s", value.c_str());
    auto texts = log.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], L"v=" + value);
}

TEST(LogFacade, ConcurrentWritersNeitherLoseNorMixLines)
{
    LogCapture log;
    const int kThreads = 8, kLines = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(
            [t]
            {
                for (int i = 0; i < kLines; ++i)
                    WriteLog(LOG_TRACE, L"worker %d line %d %s", t, i, L"payload-payload-payload");
            });
    for (auto& th : threads)
        th.join();
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), (size_t)(kThreads * kLines));
    std::set<std::wstring> seen;
    for (const auto& l : lines)
    {
        int t = -1, i = -1;
        wchar_t tail[64] = {};
        ASSERT_EQ(swscanf(l.text.c_str(), L"worker %d line %d %63ls", &t, &i, tail), 3) << l.text;
        EXPECT_STREQ(tail, L"payload-payload-payload");
        seen.insert(l.text);
    }
    EXPECT_EQ(seen.size(), (size_t)(kThreads * kLines));
}

// A program whose folder has no Logger.dll runs exactly as before, only silently.
TEST(LogFacade, MissingLibraryOnlyRemovesTheLines)
{
    TempDir dir;
    std::wstring exe = dir / L"probe.exe";
    ASSERT_TRUE(CopyFileW(ModulePath().c_str(), exe.c_str(), FALSE));
    LogCapture log;
    EXPECT_EQ(RunProcess(exe, L"--child log-probe"), 11);
    EXPECT_TRUE(log.Lines().empty());

    ASSERT_TRUE(CopyFileW((ModuleFolder() + L"\\Logger.dll").c_str(), (dir / L"Logger.dll").c_str(), FALSE));
    EXPECT_EQ(RunProcess(exe, L"--child log-probe"), 10);
    auto texts = log.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], L"probe child 7");
}
