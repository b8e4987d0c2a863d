// CUnzipper against archives built byte by byte: layout on disk, callbacks, timestamps,
// and the archives an attacker or a broken download would hand us.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "install/InstallTestSupport.h"
#include "common/Handles.h"
#include "install/FileIo.h"
#include "install/FileReplace.h"
#include "install/Junction.h"
#include "install/PathSafety.h"
#include "install/Unzipper.h"
#include "install/ZipBuilder.h"

namespace
{
std::string Ansi(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(n - 1);
    return out;
}

struct Event
{
    int kind, a, b;
    std::string name;
};

struct Recorder
{
    std::vector<Event> events;
    CUnzipper* stopAt = nullptr;
    int stopKind = -1;
    static void Callback(int kind, int a, int b, const char* name, void* user)
    {
        Recorder* self = static_cast<Recorder*>(user);
        self->events.push_back({kind, a, b, name ? name : "<null>"});
        if (self->stopAt && kind == self->stopKind)
            self->stopAt->SetStop(true);
    }
    std::vector<int> Kinds() const
    {
        std::vector<int> out;
        for (const Event& e : events)
            out.push_back(e.kind);
        return out;
    }
};

class UnzipperTest : public ::testing::Test
{
  protected:
    // dir\work holds the archive and its unpack folder; dir itself must stay untouched.
    void SetUp() override
    {
        work = dir / L"work";
        ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
        archive = work + L"\\updatefile.zip";
        unpack = work + L"\\updatefile";
    }
    void Write(const std::vector<ZipItem>& items) { ASSERT_TRUE(WriteBytes(archive, BuildZip(items))); }
    bool OpenAndUnzip(CUnzipper& zip, Recorder& rec)
    {
        zip.SetCallback(&Recorder::Callback, &rec);
        if (!zip.Open(Ansi(archive).c_str(), true))
            return false;
        return zip.UnzipAll(nullptr, false);
    }

    TempDir dir;
    std::wstring work, archive, unpack;
};
} // namespace

TEST_F(UnzipperTest, OpenDerivesTheDestinationFromTheArchive)
{
    Write({ZipFile("a.txt", "x")});
    CUnzipper zip;
    ASSERT_TRUE(zip.Open(Ansi(archive).c_str(), true));
    EXPECT_EQ(std::string(zip.GetDestination()), Ansi(unpack));
    EXPECT_EQ(zip.GetEntryCount(), 1);
    ASSERT_TRUE(zip.Open(Ansi(archive).c_str(), false));
    EXPECT_EQ(std::string(zip.GetDestination()), Ansi(work) + "\\");
    zip.Close();
    EXPECT_STREQ(zip.GetDestination(), "");
    EXPECT_EQ(zip.GetEntryCount(), 0);

    EXPECT_FALSE(zip.Open("", true));
    EXPECT_FALSE(zip.Open(nullptr, true));
    EXPECT_FALSE(zip.Open(Ansi(work + L"\\missing.zip").c_str(), true));
    ASSERT_TRUE(WriteBytes(work + L"\\junk.zip", "this is not an archive at all, not even close"));
    EXPECT_FALSE(zip.Open(Ansi(work + L"\\junk.zip").c_str(), true));
    EXPECT_FALSE(zip.UnzipAll(nullptr, false)) << "nothing open";
}

TEST_F(UnzipperTest, UnpacksFilesFoldersAndReportsEveryStep)
{
    std::string big = PatternBytes(5000, 7);
    ZipItem stamped = ZipFile("bin/a.dll", big, true);
    stamped.dosDate = (uint16_t)(((2019 - 1980) << 9) | (3 << 5) | 14); // 2019-03-14
    stamped.dosTime = (uint16_t)((15 << 11) | (9 << 5) | (26 / 2));     // 15:09:26
    Write({ZipFile("readme.txt", "hello"), stamped, ZipFolder("empty/"), ZipFile("zero.bin", "")});
    CUnzipper zip;
    Recorder rec;
    ASSERT_TRUE(OpenAndUnzip(zip, rec));
    // Taken before the file is read back, which may move its last-access time.
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW((unpack + L"\\bin\\a.dll").c_str(), GetFileExInfoStandard, &data));

    EXPECT_EQ(ReadBytes(unpack + L"\\readme.txt"), "hello");
    EXPECT_EQ(ReadBytes(unpack + L"\\bin\\a.dll"), big);
    DWORD attrs = GetFileAttributesW((unpack + L"\\empty").c_str());
    ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attrs & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(Exists(unpack + L"\\zero.bin"));
    EXPECT_EQ(ReadBytes(unpack + L"\\zero.bin"), "");

    // Entry 1: one block; entry 2: three blocks of at most 2048 bytes; the folder and
    // the empty file: no byte callbacks at all.
    std::vector<int> expectedKinds = {1, 0, 1, 1, 1, 0, 0, 0, 2};
    ASSERT_EQ(rec.Kinds(), expectedKinds);
    EXPECT_EQ(rec.events[0].a, 5);
    EXPECT_EQ(rec.events[0].b, 5);
    EXPECT_EQ(rec.events[1].a, 4);
    EXPECT_EQ(rec.events[1].b, 1);
    EXPECT_EQ(rec.events[1].name, "readme.txt");
    EXPECT_EQ(rec.events[2].a, 5000);
    EXPECT_EQ(rec.events[2].b, 2048);
    EXPECT_EQ(rec.events[3].b, 4096);
    EXPECT_EQ(rec.events[4].b, 5000);
    EXPECT_EQ(rec.events[5].b, 2);
    EXPECT_EQ(rec.events[5].name, "bin\\a.dll");
    EXPECT_EQ(rec.events[6].name, "empty\\");
    EXPECT_EQ(rec.events[7].b, 4);
    EXPECT_EQ(rec.events[8].name, "<null>");

    // The archive's time, read as local time, not the time of unpacking.
    FILETIME local;
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToLocalFileTime(&data.ftLastWriteTime, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
    EXPECT_EQ(st.wYear, 2019);
    EXPECT_EQ(st.wMonth, 3);
    EXPECT_EQ(st.wDay, 14);
    EXPECT_EQ(st.wHour, 15);
    EXPECT_EQ(st.wMinute, 9);
    EXPECT_EQ(st.wSecond, 26);
    EXPECT_EQ(CompareFileTime(&data.ftCreationTime, &data.ftLastWriteTime), 0);
    // The last access is left as the unpack made it, years after the archive's time.
    EXPECT_GT(CompareFileTime(&data.ftLastAccessTime, &data.ftLastWriteTime), 0);
}

TEST_F(UnzipperTest, ReplacesFilesLeftByAnEarlierUnpack)
{
    ASSERT_TRUE(CreateDirectoryW(unpack.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(unpack + L"\\a.txt", "an older and longer content"));
    Write({ZipFile("a.txt", "new")});
    CUnzipper zip;
    Recorder rec;
    ASSERT_TRUE(OpenAndUnzip(zip, rec));
    EXPECT_EQ(ReadBytes(unpack + L"\\a.txt"), "new");
}

TEST_F(UnzipperTest, FlattenKeepsOnlyTheFileName)
{
    Write({ZipFile("deep/er/b.txt", "b")});
    CUnzipper zip;
    ASSERT_TRUE(zip.Open(Ansi(archive).c_str(), true));
    std::string target = Ansi(dir / L"flat");
    ASSERT_TRUE(zip.UnzipAll(target.c_str(), true));
    EXPECT_EQ(ReadBytes(dir / L"flat\\b.txt"), "b");
    EXPECT_FALSE(Exists(dir / L"flat\\deep"));
}

TEST_F(UnzipperTest, AnArchiveWithoutEntriesFails)
{
    // minizip cannot even open a bare end record (it looks for it at a non-zero offset);
    // behind a self-extractor stub the same empty directory opens and lists nothing.
    Write({});
    CUnzipper zip;
    Recorder rec;
    zip.SetCallback(&Recorder::Callback, &rec);
    EXPECT_FALSE(zip.Open(Ansi(archive).c_str(), true));
    ASSERT_TRUE(WriteBytes(archive, std::string(64, 'S') + BuildZip({})));
    ASSERT_TRUE(zip.Open(Ansi(archive).c_str(), true));
    EXPECT_EQ(zip.GetEntryCount(), 0);
    EXPECT_FALSE(zip.UnzipAll(nullptr, false));
    EXPECT_TRUE(rec.events.empty());
}

TEST_F(UnzipperTest, HostileNamesAreRefusedAndNothingLandsOutside)
{
    const char* hostile[] = {
        "../evil.txt",
        "..\\evil.txt",
        "sub/../../evil.txt",
        "sub\\..\\..\\evil.txt",
        "/evil.txt",
        "\\evil.txt",
        "C:/evil.txt",
        "C:evil.txt",
        "\\\\srv\\sh\\e.txt",
        "\\\\?\\C:\\e.txt",
        "a.txt:stream",
        "sub/.. /evil.txt",
        "sub/../evil.txt",
        "../",
        "..",
        // Device names, with or without an extension, open a device instead of a file.
        "nul",
        "CON.txt",
        "sub/aux.dll",
        "com1.bin",
        "LPT9",
        "con .txt",
    };
    for (const char* name : hostile)
    {
        SCOPED_TRACE(name);
        RemoveTree(unpack);
        Write({ZipFile("first.txt", "1"), ZipFile(name, "evil"), ZipFile("last.txt", "3")});
        CUnzipper zip;
        Recorder rec;
        EXPECT_FALSE(OpenAndUnzip(zip, rec));
        EXPECT_EQ(ReadBytes(unpack + L"\\first.txt"), "1") << "entries before the bad one stay";
        EXPECT_FALSE(Exists(unpack + L"\\last.txt")) << "the unpack stops at the bad entry";
        EXPECT_FALSE(Exists(work + L"\\evil.txt"));
        EXPECT_FALSE(Exists(dir / L"evil.txt"));
        EXPECT_FALSE(Exists(L"C:\\evil.txt"));
        EXPECT_FALSE(Exists(L"C:\\e.txt"));
        ASSERT_FALSE(rec.events.empty());
        EXPECT_NE(rec.events.back().kind, UNZIP_ALL_DONE);
    }
    EXPECT_TRUE(CUnzipper::IsSafeEntryName("bin\\a.dll"));
    EXPECT_TRUE(CUnzipper::IsSafeEntryName("a..b\\c.d..e"));
    EXPECT_TRUE(CUnzipper::IsSafeEntryName("...hidden\\x"));
    EXPECT_TRUE(CUnzipper::IsSafeEntryName("console.txt"));
    EXPECT_TRUE(CUnzipper::IsSafeEntryName("com10\\lpt0.txt"));
    EXPECT_TRUE(CUnzipper::IsSafeEntryName("nul_x\\x.nul"));
}

TEST_F(UnzipperTest, OverlongNamesAreRefused)
{
    CUnzipper zip;
    Recorder rec;
    Write({ZipFile(std::string(300, 'n'), "x")});
    EXPECT_FALSE(OpenAndUnzip(zip, rec));
    zip.Close();
    // A name that fits the field but not the folder it is unpacked into.
    Write({ZipFile(std::string(250, 'n'), "x")});
    EXPECT_FALSE(OpenAndUnzip(zip, rec));
    zip.Close();
    // A zero byte hidden in the name would cut it short.
    Write({ZipFile(std::string("ok.txt\0../../x", 14), "x")});
    EXPECT_FALSE(OpenAndUnzip(zip, rec));
    zip.Close();
    EXPECT_FALSE(Exists(unpack + L"\\ok.txt"));
    EXPECT_TRUE(rec.events.empty());
}

TEST_F(UnzipperTest, DamagedEntriesFailAndLeaveNoDamagedFile)
{
    struct Case
    {
        const char* what;
        ZipItem item;
    } cases[] = {
        {"stored, bad CRC", ZipFile("bad.bin", PatternBytes(3000, 2))},
        {"deflated, bad CRC", ZipFile("bad.bin", PatternBytes(9000, 3), true)},
        {"deflated, stream shorter than declared", ZipFile("bad.bin", PatternBytes(9000, 4), true)},
        {"stored, stream longer than declared", ZipFile("bad.bin", PatternBytes(100, 5))},
    };
    cases[0].item.badCrc = true;
    cases[1].item.badCrc = true;
    cases[2].item.sizeDelta = 500;
    cases[3].item.sizeDelta = -10;
    for (Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        RemoveTree(unpack);
        Write({ZipFile("good.txt", "good"), c.item});
        CUnzipper zip;
        Recorder rec;
        EXPECT_FALSE(OpenAndUnzip(zip, rec));
        EXPECT_EQ(ReadBytes(unpack + L"\\good.txt"), "good");
        EXPECT_FALSE(Exists(unpack + L"\\bad.bin"));
        for (const Event& e : rec.events)
            EXPECT_FALSE(e.kind == UNZIP_ENTRY_DONE && e.name == "bad.bin");
    }
    // Garbage where the deflate stream should be.
    ZipItem garbage = ZipFile("g.bin", PatternBytes(4000, 9), true);
    std::string bytes = BuildZip({garbage});
    for (size_t i = 40; i < 200; ++i)
        bytes[i] = static_cast<char>(0xFF);
    ASSERT_TRUE(WriteBytes(archive, bytes));
    RemoveTree(unpack);
    CUnzipper zip;
    Recorder rec;
    EXPECT_FALSE(OpenAndUnzip(zip, rec));
    EXPECT_FALSE(Exists(unpack + L"\\g.bin"));
}

TEST_F(UnzipperTest, AnEntryThatCannotBeOpenedLeavesNoOpenFileBehind)
{
    ZipItem lzma = ZipFile("packed.bin", "data");
    lzma.methodOverride = 14;
    Write({ZipFile("a.txt", "a"), lzma});
    {
        CUnzipper zip;
        Recorder rec;
        EXPECT_FALSE(OpenAndUnzip(zip, rec));
        EXPECT_FALSE(Exists(unpack + L"\\packed.bin"));
        // The output file was created, then given up: it must not stay open either.
        HANDLE h = CreateFileW((unpack + L"\\packed.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                               nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
        EXPECT_TRUE(DeleteFileW((unpack + L"\\packed.bin").c_str()));
    }
}

TEST_F(UnzipperTest, AStopInsideAnEntryFailsItAndAStopBetweenEntriesEndsQuietly)
{
    Write({ZipFile("one.bin", PatternBytes(10000, 1)), ZipFile("two.bin", PatternBytes(100, 2))});
    {
        CUnzipper zip;
        Recorder rec;
        rec.stopAt = &zip;
        rec.stopKind = UNZIP_ENTRY_BYTES;
        EXPECT_FALSE(OpenAndUnzip(zip, rec));
        EXPECT_EQ(rec.Kinds(), std::vector<int>{1});
        EXPECT_FALSE(Exists(unpack + L"\\one.bin"));
    }
    // The stop comes after the first entry has been read to its end (a folder entry
    // follows, which reads nothing): success without the final report.
    RemoveTree(unpack);
    Write({ZipFile("one.bin", "1"), ZipFolder("dir/"), ZipFile("three.bin", "3")});
    CUnzipper zip;
    Recorder rec;
    rec.stopAt = &zip;
    rec.stopKind = UNZIP_ENTRY_DONE;
    EXPECT_TRUE(OpenAndUnzip(zip, rec));
    EXPECT_EQ(rec.Kinds(), (std::vector<int>{1, 0}));
    EXPECT_FALSE(Exists(unpack + L"\\three.bin"));
}

TEST_F(UnzipperTest, WritesNeverFollowAJunctionInsideTheUnpackFolder)
{
    // A folder of the archive's tree that already exists as a link elsewhere.
    std::wstring outside = dir / L"outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(unpack.c_str(), nullptr));
    JunctionGuard links;
    if (!links.Make(unpack + L"\\bin", outside))
        GTEST_SKIP() << "no junctions on this system";
    // A file through the link, and a file and a folder under levels still missing behind
    // it: nothing is written there, not even an empty folder.
    const std::vector<ZipItem> archives[] = {
        {ZipFile("bin/a.dll", "payload")},
        {ZipFile("bin/sub/a.dll", "payload")},
        {ZipFolder("bin/made/")},
    };
    for (const std::vector<ZipItem>& items : archives)
    {
        SCOPED_TRACE(items[0].name);
        Write(items);
        CUnzipper zip;
        Recorder rec;
        EXPECT_FALSE(OpenAndUnzip(zip, rec));
        EXPECT_EQ(rec.Kinds(), std::vector<int>{}) << "the entry fails before it is written";
    }
    EXPECT_FALSE(Exists(outside + L"\\a.dll"));
    EXPECT_FALSE(Exists(outside + L"\\sub"));
    EXPECT_FALSE(Exists(outside + L"\\made"));
}

TEST(UnzipperFolders, CreateFolderMakesEveryMissingLevel)
{
    TempDir dir;
    std::string base = Ansi(dir.path());
    EXPECT_TRUE(CUnzipper::CreateFolder((base + "\\a\\b\\c").c_str()));
    EXPECT_TRUE(CUnzipper::CreateFolder((base + "\\a\\b\\c\\").c_str()));
    DWORD attrs = GetFileAttributesW((dir / L"a\\b\\c").c_str());
    EXPECT_TRUE(attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY));
    ASSERT_TRUE(WriteBytes(dir / L"file", "x"));
    EXPECT_FALSE(CUnzipper::CreateFolder((base + "\\file").c_str())) << "a file is no folder";
    EXPECT_FALSE(CUnzipper::CreateFolder((base + "\\file\\sub").c_str()));
    EXPECT_FALSE(CUnzipper::CreateFolder(""));
    EXPECT_TRUE(CUnzipper::CreateParentFolder((base + "\\p\\q\\name.txt").c_str()));
    EXPECT_TRUE(Exists(dir / L"p\\q"));
    EXPECT_FALSE(Exists(dir / L"p\\q\\name.txt"));
    EXPECT_FALSE(CUnzipper::CreateParentFolder("name.txt"));
}

TEST_F(UnzipperTest, DotPartsNameTheSameFolder)
{
    Write({ZipFolder("./"), ZipFile("./a.dll", "a"), ZipFile("bin/./b.dll", "b"), ZipFile(".\\c.dll", "c")});
    CUnzipper zip;
    Recorder rec;
    ASSERT_TRUE(OpenAndUnzip(zip, rec));
    EXPECT_EQ(ReadBytes(unpack + L"\\a.dll"), "a");
    EXPECT_EQ(ReadBytes(unpack + L"\\bin\\b.dll"), "b");
    EXPECT_EQ(ReadBytes(unpack + L"\\c.dll"), "c");
    ASSERT_FALSE(rec.events.empty());
    EXPECT_EQ(rec.events.back().kind, UNZIP_ALL_DONE);
    EXPECT_FALSE(CUnzipper::IsSafeEntryName("./../a.dll"));
    EXPECT_FALSE(CUnzipper::IsSafeEntryName("./"));
}

TEST_F(UnzipperTest, APlantedFileLinkIsReplacedNeverWrittenThrough)
{
    std::wstring outside = dir / L"outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(outside + L"\\victim.dll", "outside victim"));
    ASSERT_TRUE(WriteBytes(outside + L"\\shared.dll", "outside shared"));
    ASSERT_TRUE(CreateDirectoryW(unpack.c_str(), nullptr));
    JunctionGuard links;
    if (!links.MakeFileLink(unpack + L"\\a.dll", outside + L"\\victim.dll", false) ||
        !links.MakeFileLink(unpack + L"\\b.dll", outside + L"\\shared.dll", true))
        GTEST_SKIP() << "no file links on this system";
    Write({ZipFile("a.dll", "payload a"), ZipFile("b.dll", "payload b")});
    CUnzipper zip;
    Recorder rec;
    EXPECT_TRUE(OpenAndUnzip(zip, rec));
    EXPECT_EQ(ReadBytes(outside + L"\\victim.dll"), "outside victim");
    EXPECT_EQ(ReadBytes(outside + L"\\shared.dll"), "outside shared");
    EXPECT_EQ(ReadBytes(unpack + L"\\a.dll"), "payload a");
    EXPECT_EQ(ReadBytes(unpack + L"\\b.dll"), "payload b");
    // What lies there now is a file of the unpack folder, of one name.
    for (const wchar_t* name : {L"a.dll", L"b.dll"})
    {
        UniqueFile f(CreateFileW((unpack + L"\\" + name).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(f);
        EXPECT_TRUE(IsOpenedFileInside(f.get(), unpack, name, true)) << WideToUtf8(name);
    }
}

// Blocks are reported one by one but gathered into larger writes: every size around a
// block and a write boundary arrives whole, with one report per block, both where the
// entry's name is free (written in place) and where an earlier file holds it (written
// beside it and swapped in), and keeps the archive's time either way.
TEST_F(UnzipperTest, EntriesAcrossBlockAndWriteBoundariesArriveWholeWithAReportPerBlock)
{
    const size_t block = CUnzipper::kBlockBytes, write = CUnzipper::kWriteBytes;
    const size_t sizes[] = {1,         block - 1, block,     block + 1, write - block,  write - block + 1,
                            write - 1, write,     write + 1, 2 * write, 3 * write + 777};
    for (bool occupied : {false, true})
        for (bool deflate : {false, true})
        {
            SCOPED_TRACE(std::string(occupied ? "name taken" : "name free") +
                         (deflate ? ", deflated" : ", stored"));
            std::vector<ZipItem> items;
            if (occupied)
            {
                ASSERT_TRUE(CreateDirectoryW(unpack.c_str(), nullptr) ||
                            GetLastError() == ERROR_ALREADY_EXISTS);
            }
            for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i)
            {
                std::string name = "f" + std::to_string(i) + ".bin";
                items.push_back(ZipFile(name, PatternBytes(sizes[i], (uint32_t)i + 3), deflate));
                std::wstring path = unpack + L"\\" + std::wstring(name.begin(), name.end());
                if (occupied)
                {
                    ASSERT_TRUE(WriteBytes(path, "an earlier unpack's content"));
                }
            }
            Write(items);
            CUnzipper zip;
            Recorder rec;
            ASSERT_TRUE(OpenAndUnzip(zip, rec));

            size_t at = 0;
            for (size_t i = 0; i < items.size(); ++i)
            {
                const std::string& name = items[i].name;
                std::wstring path = unpack + L"\\" + std::wstring(name.begin(), name.end());
                EXPECT_EQ(ReadBytes(path), items[i].data) << name;
                for (size_t done = block; done < sizes[i] + block; done += block, ++at)
                {
                    ASSERT_LT(at, rec.events.size());
                    EXPECT_EQ(rec.events[at].kind, UNZIP_ENTRY_BYTES) << name;
                    EXPECT_EQ(rec.events[at].a, (int)sizes[i]) << name;
                    EXPECT_EQ(rec.events[at].b, (int)(done < sizes[i] ? done : sizes[i])) << name;
                }
                ASSERT_LT(at, rec.events.size());
                EXPECT_EQ(rec.events[at].kind, UNZIP_ENTRY_DONE) << name;
                EXPECT_EQ(rec.events[at++].b, (int)i + 1) << name;

                WIN32_FILE_ATTRIBUTE_DATA data;
                ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
                FILETIME local;
                SYSTEMTIME st;
                ASSERT_TRUE(FileTimeToLocalFileTime(&data.ftLastWriteTime, &local));
                ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
                EXPECT_EQ(st.wYear, 2017) << name;
                EXPECT_EQ(st.wHour, 12) << name;
            }
            ASSERT_EQ(at + 1, rec.events.size());
            EXPECT_EQ(rec.events[at].kind, UNZIP_ALL_DONE);
            zip.Close();
            for (const ZipItem& item : items)
                DeleteFileW((unpack + L"\\" + std::wstring(item.name.begin(), item.name.end())).c_str());
            RemoveDirectoryW(unpack.c_str());
        }
}

// What a handle opened, read through the small queries: a plain file, a folder and a
// file with a second name are told apart as the one-call summary tells them.
TEST_F(UnzipperTest, OpenedFileFactsMatchTheSystemsSummary)
{
    std::wstring file = work + L"\\plain.bin", twin = work + L"\\twin.bin", second = work + L"\\twin2.bin";
    ASSERT_TRUE(WriteBytes(file, "plain"));
    ASSERT_TRUE(WriteBytes(twin, "twin"));
    JunctionGuard links;
    bool hard = links.MakeFileLink(second, twin, true);
    struct Case
    {
        std::wstring folder, rel;
        bool isFolder;
        DWORD links;
    } cases[] = {{work, L"plain.bin", false, 1},
                 {dir.path(), L"work", true, 1},
                 {work, L"twin.bin", false, hard ? 2u : 1u}};
    for (const Case& c : cases)
    {
        std::wstring path = c.folder + L"\\" + c.rel;
        SCOPED_TRACE(WideToUtf8(path));
        UniqueFile h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(h);
        DWORD attributes = 0, count = 0;
        ASSERT_TRUE(GetOpenedFileFacts(h.get(), attributes, count));
        BY_HANDLE_FILE_INFORMATION info;
        ASSERT_TRUE(GetFileInformationByHandle(h.get(), &info));
        EXPECT_EQ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, c.isFolder);
        EXPECT_EQ(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
                  info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
        EXPECT_EQ(count, c.links);
        EXPECT_EQ(count, info.nNumberOfLinks);
        EXPECT_EQ(IsOpenedFileInside(h.get(), c.folder, c.rel, true), !c.isFolder && c.links == 1);
    }
}

// A folder's final path kept from an earlier check is what later files must show: a
// folder swapped for a link to another one afterwards no longer passes, though a fresh
// lookup, which follows the link, would let it.
TEST_F(UnzipperTest, AFolderSwappedForALinkAfterItsFirstCheckNoLongerPasses)
{
    std::wstring folder = work + L"\\dest", moved = work + L"\\dest-moved", other = dir / L"other";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(folder + L"\\a.dll", "inside"));
    ASSERT_TRUE(WriteBytes(other + L"\\a.dll", "elsewhere"));
    FolderFinalPaths known;
    {
        UniqueFile a(CreateFileW((folder + L"\\a.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(a);
        ASSERT_TRUE(IsOpenedFileInside(a.get(), folder, L"a.dll", true, &known));
    }
    ASSERT_TRUE(MoveFileW(folder.c_str(), moved.c_str()));
    JunctionGuard links;
    if (!links.Make(folder, other))
        GTEST_SKIP() << "no folder links on this system";
    UniqueFile b(CreateFileW((folder + L"\\a.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(b);
    ASSERT_EQ(ReadBytes(folder + L"\\a.dll"), "elsewhere");
    EXPECT_FALSE(IsOpenedFileInside(b.get(), folder, L"a.dll", true, &known));
    EXPECT_TRUE(IsOpenedFileInside(b.get(), folder, L"a.dll", true)) << "a fresh lookup follows the link";
}

// An open folder keeps what is made in it: its name swapped for a link afterwards moves
// nothing, a level that is a link is not opened, and a name that is taken is never
// opened, whatever it leads to.
TEST_F(UnzipperTest, FilesMadeInAnOpenFolderStayThereWhateverHappensToItsName)
{
    std::wstring folder = work + L"\\dest", moved = work + L"\\dest-moved", other = dir / L"other";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((other + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(other + L"\\taken.dll", "elsewhere"));
    PinnedFolders pinned(folder + L"\\");
    HANDLE sub = pinned.Get(L"sub\\deeper", true);
    ASSERT_NE(sub, nullptr) << "missing levels are made";
    EXPECT_EQ(pinned.Get(L"SUB\\Deeper", false), sub) << "one level whatever the case of its name";
    EXPECT_EQ(pinned.Get(L"absent", false), nullptr);
    JunctionGuard links;
    if (!links.Make(folder + L"\\sub\\link", other))
        GTEST_SKIP() << "no folder links on this system";
    EXPECT_EQ(pinned.Get(L"sub\\link", false), nullptr) << "a level that is a link";
    EXPECT_EQ(pinned.Get(L"sub\\link\\made", true), nullptr);
    EXPECT_FALSE(Exists(other + L"\\made"));

    ASSERT_TRUE(MoveFileW(folder.c_str(), moved.c_str()));
    ASSERT_TRUE(links.Make(folder, other));
    UniqueFile made;
    ASSERT_TRUE(CreateFileIn(sub, L"new.dll", GENERIC_WRITE, made));
    ASSERT_TRUE(WriteAll(made.get(), "pinned", 6));
    made.reset();
    EXPECT_EQ(ReadBytes(moved + L"\\sub\\deeper\\new.dll"), "pinned");
    EXPECT_FALSE(Exists(other + L"\\sub\\deeper"));

    // Taken names: a file, a folder, a link to a file outside.
    ASSERT_TRUE(WriteBytes(moved + L"\\sub\\deeper\\old.dll", "old"));
    ASSERT_TRUE(CreateDirectoryW((moved + L"\\sub\\deeper\\dir.dll").c_str(), nullptr));
    bool fileLink = links.MakeFileLink(moved + L"\\sub\\deeper\\taken.dll", other + L"\\taken.dll", false);
    std::vector<std::wstring> names = {L"old.dll", L"OLD.DLL", L"dir.dll", L"..", L"a\\b.dll", L""};
    if (fileLink)
        names.push_back(L"taken.dll");
    for (const std::wstring& name : names)
    {
        SCOPED_TRACE(WideToUtf8(name));
        UniqueFile again;
        EXPECT_FALSE(CreateFileIn(sub, name, GENERIC_WRITE, again));
        EXPECT_FALSE(again);
    }
    EXPECT_EQ(ReadBytes(moved + L"\\sub\\deeper\\old.dll"), "old");
    EXPECT_EQ(ReadBytes(other + L"\\taken.dll"), "elsewhere");

    // A temporary is made only where its path can still be renamed and deleted by name.
    const std::wstring deeper = moved + L"\\sub\\deeper";
    std::wstring tempName;
    UniqueFile temp;
    EXPECT_FALSE(CreateOwnTempFileIn(sub, std::wstring(MAX_PATH - 12, L'x'), tempName, temp));
    EXPECT_FALSE(temp);
    ASSERT_TRUE(CreateOwnTempFileIn(sub, deeper, tempName, temp));
    EXPECT_TRUE(IsOwnTempName(tempName)) << WideToUtf8(tempName);
    temp.reset();
    EXPECT_TRUE(Exists(deeper + L"\\" + tempName));
}
