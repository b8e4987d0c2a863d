// CPatcher: the unpack thread, its callbacks as the dialogs see them, its log lines and
// its stop requests.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "install/CallbackPairProbe.h"
#include "install/InstallTestSupport.h"
#include "install/Patcher.h"
#include "install/ZipBuilder.h"

namespace
{
struct Report
{
    int kind, a, b;
    std::string name;
    DWORD thread;
};

// Collects callbacks from the unpack thread; optionally asks the patcher to stop, or
// holds the thread until released.
struct Collector
{
    std::mutex lock;
    std::vector<Report> reports;
    CPatcher* patcher = nullptr;
    int stopOnKind = -1;
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = nullptr; // when set, the first callback waits for it
    ~Collector()
    {
        CloseHandle(entered);
        if (release)
            CloseHandle(release);
    }
    static void Callback(int kind, int a, int b, const char* name, void* user)
    {
        Collector* self = static_cast<Collector*>(user);
        {
            std::lock_guard<std::mutex> g(self->lock);
            self->reports.push_back({kind, a, b, name ? name : "", GetCurrentThreadId()});
        }
        SetEvent(self->entered);
        if (self->release)
            WaitForSingleObject(self->release, 10000);
        if (kind == self->stopOnKind && self->patcher)
        {
            self->stopOnKind = -1;
            self->patcher->SetPatchStop();
        }
    }
    void Attach(CPatcher& p) { p.SetCallback(&Callback, this); }
    // Asks p to stop from within the first callback of the given kind.
    void StopOn(CPatcher& p, int kind)
    {
        patcher = &p;
        stopOnKind = kind;
        Attach(p);
    }
    std::vector<int> Kinds()
    {
        std::lock_guard<std::mutex> g(lock);
        std::vector<int> out;
        for (const Report& r : reports)
            out.push_back(r.kind);
        return out;
    }
};

bool WaitDone(CPatcher& patcher)
{
    return WaitForSingleObject(patcher.DoneEvent(), 20000) == WAIT_OBJECT_0;
}

} // namespace

TEST(Patcher, UnpacksBesideTheArchiveOnItsOwnThread)
{
    TempDir dir;
    std::wstring archive = dir / L"updatefile.zip";
    std::string dll = PatternBytes(7000, 11);
    ASSERT_TRUE(
        WriteBytes(archive, BuildZip({ZipFile("bin/a.dll", dll, true), ZipFile("master_3.xml", "<x/>")})));
    LogCapture log;
    CPatcher patcher;
    Collector c;
    c.Attach(patcher);
    EXPECT_EQ(patcher.Patch(archive.c_str()), 2);
    ASSERT_TRUE(WaitDone(patcher));

    EXPECT_EQ(ReadBytes(dir / L"updatefile\\bin\\a.dll"), dll);
    EXPECT_EQ(ReadBytes(dir / L"updatefile\\master_3.xml"), "<x/>");
    EXPECT_EQ(ReadBytes(archive).size() > 0, true) << "the archive stays for the placement step";
    std::vector<int> kinds = {1, 1, 1, 1, 0, 1, 0, 2};
    EXPECT_EQ(c.Kinds(), kinds);
    for (const Report& r : c.reports)
        EXPECT_NE(r.thread, GetCurrentThreadId());
    EXPECT_EQ(c.reports[4].name, "bin\\a.dll");
    EXPECT_EQ(c.reports[4].a, 2);
    EXPECT_EQ(c.reports[6].b, 2);

    std::vector<std::wstring> expected = {
        L"CPatcher::Patch : lpFilePath=" + archive,
        L"CPatcher::ThreadUnzip : start",
        L"CPatcher::ThreadUnzip : Kill Thread1",
        L"CPatcher::ThreadUnzip : Kill Thread2",
    };
    EXPECT_EQ(TextsStarting(log, L"CPatcher::"), expected);

    // The archive is closed when the thread ends: it can be replaced and patched again.
    ASSERT_TRUE(WriteBytes(archive, BuildZip({ZipFile("second.txt", "2")})));
    Collector c2;
    c2.Attach(patcher);
    EXPECT_EQ(patcher.Patch(archive.c_str()), 1);
    ASSERT_TRUE(WaitDone(patcher));
    EXPECT_EQ(c2.Kinds(), (std::vector<int>{1, 0, 2}));
    EXPECT_EQ(ReadBytes(dir / L"updatefile\\second.txt"), "2");
}

TEST(Patcher, ArchivesThatCannotBeOpenedReturnZeroWithoutAThread)
{
    TempDir dir;
    LogCapture log;
    CPatcher patcher;
    Collector c;
    c.Attach(patcher);
    EXPECT_EQ(patcher.Patch((dir / L"missing.zip").c_str()), 0);
    ASSERT_TRUE(WriteBytes(dir / L"page.zip", "<html>404 Not Found</html>"));
    EXPECT_EQ(patcher.Patch((dir / L"page.zip").c_str()), 0);
    EXPECT_EQ(patcher.Patch(nullptr), 0);
    std::wstring longPath = dir.path() + L"\\" + std::wstring(260, L'p') + L".zip";
    EXPECT_EQ(patcher.Patch(longPath.c_str()), 0);
    EXPECT_TRUE(c.Kinds().empty());
    std::vector<std::wstring> lines = TextsStarting(log, L"CPatcher::");
    ASSERT_EQ(lines.size(), 4u) << "only the Patch lines";
    for (const std::wstring& l : lines)
        EXPECT_EQ(l.compare(0, 29, L"CPatcher::Patch : lpFilePath="), 0) << l;
}

TEST(Patcher, AnArchiveWithoutEntriesReturnsZeroAndFails)
{
    TempDir dir;
    std::wstring archive = dir / L"updatefile.zip";
    ASSERT_TRUE(WriteBytes(archive, std::string(32, 'S') + BuildZip({})));
    CPatcher patcher;
    Collector c;
    c.Attach(patcher);
    EXPECT_EQ(patcher.Patch(archive.c_str()), 0);
    ASSERT_TRUE(WaitDone(patcher));
    EXPECT_EQ(c.Kinds(), std::vector<int>{3});
}

TEST(Patcher, ADamagedEntryEndsTheThreadWithAFailure)
{
    TempDir dir;
    std::wstring archive = dir / L"updatefile.zip";
    ZipItem bad = ZipFile("b.dll", PatternBytes(5000, 5), true);
    bad.badCrc = true;
    ASSERT_TRUE(WriteBytes(archive, BuildZip({ZipFile("a.txt", "a"), bad, ZipFile("c.txt", "c")})));
    CPatcher patcher;
    Collector c;
    c.Attach(patcher);
    EXPECT_EQ(patcher.Patch(archive.c_str()), 3);
    ASSERT_TRUE(WaitDone(patcher));
    std::vector<int> kinds = c.Kinds();
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.back(), 3);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), 0), 1) << "only a.txt was completed";
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), 2), 0);
    EXPECT_EQ(ReadBytes(dir / L"updatefile\\a.txt"), "a");
    EXPECT_FALSE(Exists(dir / L"updatefile\\b.dll"));
    EXPECT_FALSE(Exists(dir / L"updatefile\\c.txt"));
}

TEST(Patcher, StopInsideAnEntryFailsAndStopBetweenEntriesEndsQuietly)
{
    TempDir dir;
    std::wstring archive = dir / L"updatefile.zip";
    {
        ASSERT_TRUE(WriteBytes(archive, BuildZip({ZipFile("big.bin", PatternBytes(200000, 1), true),
                                                  ZipFile("after.bin", "x")})));
        LogCapture log;
        CPatcher patcher;
        Collector c;
        c.StopOn(patcher, UNZIP_ENTRY_BYTES);
        EXPECT_EQ(patcher.Patch(archive.c_str()), 2);
        ASSERT_TRUE(WaitDone(patcher));
        EXPECT_EQ(c.Kinds(), (std::vector<int>{1, 3}));
        std::vector<std::wstring> lines = TextsStarting(log, L"CPatcher::");
        std::vector<std::wstring> expected = {
            L"CPatcher::Patch : lpFilePath=" + archive,
            L"CPatcher::ThreadUnzip : start",
            L"CPatcher::SetPatchStop : 1",
            L"CPatcher::SetPatchStop : 2",
            L"CPatcher::ThreadUnzip : Kill Thread1",
            L"CPatcher::ThreadUnzip : Kill Thread2",
        };
        EXPECT_EQ(lines, expected);
    }
    {
        // The first entry is read to its end before the stop; the folder entry after it
        // reads nothing, so the thread ends at the check between entries.
        RemoveTree(dir / L"updatefile");
        ASSERT_TRUE(WriteBytes(
            archive, BuildZip({ZipFile("one.bin", "1"), ZipFolder("dir/"), ZipFile("three.bin", "3")})));
        CPatcher patcher;
        Collector c;
        c.StopOn(patcher, UNZIP_ENTRY_DONE);
        EXPECT_EQ(patcher.Patch(archive.c_str()), 3);
        ASSERT_TRUE(WaitDone(patcher));
        EXPECT_EQ(c.Kinds(), (std::vector<int>{1, 0}));
        EXPECT_FALSE(Exists(dir / L"updatefile\\three.bin"));
        // Stopping again without a known thread does nothing.
        LogCapture log;
        patcher.SetPatchStop();
        EXPECT_TRUE(TextsStarting(log, L"CPatcher::").empty());
    }
}

TEST(Patcher, ASecondPatchWhileTheFirstRunsIsRefused)
{
    TempDir dir;
    std::wstring archive = dir / L"updatefile.zip";
    ASSERT_TRUE(WriteBytes(archive, BuildZip({ZipFile("a.txt", "a"), ZipFile("b.txt", "b")})));
    CPatcher patcher;
    Collector c;
    c.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    c.Attach(patcher);
    EXPECT_EQ(patcher.Patch(archive.c_str()), 2);
    ASSERT_EQ(WaitForSingleObject(c.entered, 10000), WAIT_OBJECT_0);
    patcher.SetPatchStop(); // forgets the thread, which still runs
    EXPECT_EQ(patcher.Patch(archive.c_str()), 0);
    SetEvent(c.release);
    ASSERT_TRUE(WaitDone(patcher));
    EXPECT_EQ(patcher.Patch(archive.c_str()), 2) << "accepted once the first thread ended";
    ASSERT_TRUE(WaitDone(patcher));
}

namespace
{
// The owner of a patcher on a thread of its own: a window there is what the callbacks
// move the per-file bar of, with SendMessage.
struct SendingOwner
{
    std::wstring archive;
    SentMessageTarget* target = nullptr;
    bool sending = false;

    static void Callback(int kind, int, int, const char*, void* user)
    {
        if (kind == UNZIP_ENTRY_BYTES)
            static_cast<SendingOwner*>(user)->target->SendOnce();
    }
    static DWORD WINAPI Run(LPVOID p)
    {
        SendingOwner* self = static_cast<SendingOwner*>(p);
        SentMessageTarget target;
        self->target = &target;
        CPatcher* patcher = new CPatcher;
        patcher->SetCallback(&Callback, self);
        if (target.valid() && patcher->Patch(self->archive.c_str()) > 0)
            self->sending = target.WaitSending(10000);
        // The window is gone with the dialog; its callbacks are cleared first.
        patcher->SetPatchStop();
        patcher->SetCallback(nullptr, self);
        delete patcher; // its worker is still waiting for this thread to take the message
        return 0;
    }
};
} // namespace

TEST(Patcher, DestroyingItWhileACallbackSendsToItsOwnerThreadEnds)
{
    TempDir dir;
    SendingOwner* owner = new SendingOwner; // leaked if the owner thread never returns
    owner->archive = dir / L"updatefile.zip";
    ASSERT_TRUE(WriteBytes(owner->archive, BuildZip({ZipFile("big.bin", PatternBytes(400000, 3))})));
    ASSERT_TRUE(ReturnsWithin(&SendingOwner::Run, owner, 30000)) << "the destructor's wait deadlocked";
    EXPECT_TRUE(owner->sending);
    delete owner;
}

namespace
{
CallbackPairProbe* g_pairProbe = nullptr;
void PairA(int, int, int, const char*, void* user)
{
    g_pairProbe->Called(user, true);
}
void PairB(int, int, int, const char*, void* user)
{
    g_pairProbe->Called(user, false);
}
} // namespace

TEST(Patcher, ACallbackReplacedWhileTheThreadReportsNeverGetsAnotherContext)
{
    TempDir dir;
    std::wstring archive = dir / L"updatefile.zip";
    // Stored, so that thousands of per-block reports come quickly.
    ASSERT_TRUE(WriteBytes(archive, BuildZip({ZipFile("big.bin", PatternBytes(8 << 20, 9))})));
    CallbackPairProbe probe;
    g_pairProbe = &probe;
    CPatcher patcher;
    patcher.SetCallback(&PairA, &probe.contextA);
    probe.Start(&PairA, &PairB, [&patcher](UnzipCallback fn, void* user) { patcher.SetCallback(fn, user); });
    EXPECT_EQ(patcher.Patch(archive.c_str()), 1);
    bool done = WaitDone(patcher);
    probe.Stop();
    ASSERT_TRUE(done);
    EXPECT_EQ(probe.mismatches.load(), 0) << "of " << probe.calls.load() << " calls";
    EXPECT_GT(probe.calls.load(), 500) << "the reports and the changes must overlap";
    EXPECT_GT(probe.swaps.load(), 10);
    EXPECT_EQ(ReadBytes(dir / L"updatefile\\big.bin").size(), 8u << 20);
}
