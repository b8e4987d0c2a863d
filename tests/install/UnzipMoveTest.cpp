// CUnzipMove: manifests read from an unpacked update, files placed into an installation
// folder, and the failures that must leave the installed client intact.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "install/FileReplace.h"
#include "install/InstallTestSupport.h"
#include "install/Junction.h"
#include "install/PathSafety.h"
#include "install/UnzipMove.h"

namespace
{
std::string FileXml(const std::string& name, const std::string& ipath, const char* type = nullptr)
{
    std::string out = "  <file";
    if (type)
        out += std::string(" type=\"") + type + "\"";
    return out + "><name>" + name + "</name><ipath>" + ipath + "</ipath></file>\n";
}

std::string Manifest(const std::string& files, const char* ver = "1.0.0.2")
{
    return std::string("<?xml version=\"1.0\"?>\n<files_info ver=\"") + ver + "\">\n" + files +
           "</files_info>\n";
}

// Names in folder that look like our temporary copies.
std::vector<std::wstring> TempFiles(const std::wstring& folder)
{
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\~nvpc*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return out;
    do
        out.push_back(fd.cFileName);
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return out;
}

class UnzipMoveTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dl = root / L"upgrade";
        unpack = dl + L"\\updatefile";
        package = dl + L"\\updatefile.zip";
        install = root / L"Calderix\\Norvane";
        ASSERT_TRUE(CreateDirectoryW(dl.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(unpack.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((root / L"Calderix").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((install + L"\\config").c_str(), nullptr));
        ASSERT_TRUE(WriteBytes(package, "PK-the-archive"));
    }
    void Unpacked(const std::wstring& rel, const std::string& bytes)
    {
        ASSERT_TRUE(WriteBytes(unpack + L"\\" + rel, bytes)) << WideToUtf8(rel);
    }
    void Installed(const std::wstring& rel, const std::string& bytes)
    {
        ASSERT_TRUE(WriteBytes(install + L"\\" + rel, bytes)) << WideToUtf8(rel);
    }
    std::wstring CommandLine(const std::wstring& mml = L"master_3", const std::wstring& pml = L"NVPC01")
    {
        // As the workflow builds it: two blanks before /SEP and one at the end.
        return L" /DNP \"" + package + L"\" /MML \"" + mml + L"\" /PML \"" + pml + L"\"  /SEP \"" + install +
               L"\" ";
    }
    // The usual update: a program file, a library in a sub-folder, both manifests.
    void StandardUpdate()
    {
        Unpacked(L"client.exe", "new client");
        ASSERT_TRUE(CreateDirectoryW((unpack + L"\\bin").c_str(), nullptr));
        Unpacked(L"bin\\core.dll", "new core");
        Unpacked(L"master_3.xml", Manifest(FileXml("client.exe", "") + FileXml("master_3.xml", "config") +
                                           FileXml("bin\\core.dll", "")));
        Unpacked(L"NVPC01.xml", Manifest(FileXml("NVPC01.xml", "config") + FileXml("client.exe", "other")));
        ASSERT_TRUE(CreateDirectoryW((install + L"\\bin").c_str(), nullptr));
        Installed(L"client.exe", "old client");
        Installed(L"config\\master_3.xml", "old master");
        Installed(L"config\\NVPC01.xml", "old product");
    }

    TempDir root;
    std::wstring dl, unpack, package, install;
};
} // namespace

TEST_F(UnzipMoveTest, ParseArgsTakesTheFourSwitches)
{
    CUnzipMove move;
    ASSERT_TRUE(move.ParseArgs(CommandLine().c_str()));
    EXPECT_EQ(std::wstring(move.GetPackagePath()), package);
    EXPECT_STREQ(move.GetMasterName(), L"master_3");
    EXPECT_STREQ(move.GetProductName(), L"NVPC01");
    EXPECT_EQ(std::wstring(move.GetInstallFolder()), install);
    EXPECT_EQ(std::wstring(move.GetUnpackFolder()), unpack + L"\\");

    CUnzipMove other;
    EXPECT_TRUE(other.ParseArgs(L"junk /sep C:\\x /pml P /mMl m /dnp C:\\d\\u.pkg.zip trailing /MML"));
    EXPECT_STREQ(other.GetInstallFolder(), L"C:\\x");
    EXPECT_STREQ(other.GetMasterName(), L"m") << "a switch in last position is ignored";
    EXPECT_STREQ(other.GetUnpackFolder(), L"C:\\d\\u.pkg\\");
}

TEST_F(UnzipMoveTest, ParseArgsRefusesMissingOverlongAndPathLikeValues)
{
    std::wstring longPath = L"C:\\" + std::wstring(257, L'p');
    const std::wstring bad[] = {
        L"",
        L" /DNP \"C:\\a.zip\" /MML \"master_3\" /PML \"P\"",
        L" /DNP \"C:\\a.zip\" /MML \"\" /PML \"P\" /SEP \"C:\\i\"",
        L" /DNP \"" + longPath + L"\" /MML \"m\" /PML \"P\" /SEP \"C:\\i\"",
        L" /DNP \"C:\\a.zip\" /MML \"m\" /PML \"P\" /SEP \"" + longPath + L"\"",
        L" /DNP \"C:\\a.zip\" /MML \"..\\..\\m\" /PML \"P\" /SEP \"C:\\i\"",
        L" /DNP \"C:\\a.zip\" /MML \"m\" /PML \"C:\\P\" /SEP \"C:\\i\"",
        L" /DNP \"C:\\a.zip\" /MML \"m\" /PML \"sub/P\" /SEP \"C:\\i\"",
    };
    for (const std::wstring& line : bad)
    {
        CUnzipMove move;
        EXPECT_FALSE(move.ParseArgs(line.c_str())) << WideToUtf8(line);
    }
    CUnzipMove fits;
    EXPECT_TRUE(
        fits.ParseArgs((L" /DNP \"" + longPath.substr(0, 259) + L"\" /MML m /PML P /SEP C:\\i").c_str()));
}

TEST_F(UnzipMoveTest, ManifestsListExistingFilesOnceInDocumentOrder)
{
    Unpacked(L"a.dll", "a");
    Unpacked(L"b.dll", "b");
    Unpacked(L"c.dll", "c");
    Unpacked(L"setup.exe", "s");
    Unpacked(L"master_3.xml",
             Manifest(FileXml("a.dll", "bin") +
                      // ipath before name, names of elements and attributes in other cases
                      "  <FILE TYPE=\"1\"><IPath>tools</IPath><Name>setup.exe</Name></FILE>\n" +
                      FileXml("missing.dll", "") + "  <file><name>c.dll</name></file>\n"));
    Unpacked(L"NVPC01.xml", Manifest(FileXml("A.DLL", "elsewhere", "1") + FileXml("b.dll", "", "07") +
                                     "  <other/>\n" + FileXml("c.dll", "")));
    LogCapture log;
    CUnzipMove move;
    ASSERT_TRUE(move.ParseArgs(CommandLine().c_str()));
    move.parseXMLFile(L"master_3");
    move.parseXMLFile(L"NVPC01");
    const auto& e = move.GetEntries();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_STREQ(e[0].name, L"a.dll");
    EXPECT_STREQ(e[0].ipath, L"bin") << "the master manifest's entry wins";
    EXPECT_EQ(e[0].type, 0);
    EXPECT_STREQ(e[1].name, L"setup.exe");
    EXPECT_STREQ(e[1].ipath, L"tools");
    EXPECT_EQ(e[1].type, 1);
    EXPECT_STREQ(e[2].name, L"b.dll");
    EXPECT_EQ(e[2].type, 7);

    std::vector<std::wstring> expected = {
        L"CUnzipMove::parseXMLFile : GetFileName()=a.dll strFile=" + unpack + L"\\a.dll",
        L"CUnzipMove::parseXMLFile : GetFileName()=setup.exe strFile=" + unpack + L"\\setup.exe",
        L"CUnzipMove::parseXMLFile : GetFileName()=missing.dll strFile=" + unpack + L"\\missing.dll",
        L"CUnzipMove::parseXMLFile : GetFileName()=A.DLL strFile=" + unpack + L"\\A.DLL",
        L"CUnzipMove::parseXMLFile : GetFileName()=b.dll strFile=" + unpack + L"\\b.dll",
    };
    EXPECT_EQ(TextsStarting(log, L"CUnzipMove::parseXMLFile : GetFileName()="), expected);
}

TEST_F(UnzipMoveTest, TextsOnLinesOfTheirOwnAreReadWithoutTheLineBreaks)
{
    ASSERT_TRUE(CreateDirectoryW((unpack + L"\\bin").c_str(), nullptr));
    Unpacked(L"bin\\a.dll", "a");
    Unpacked(L"master_3.xml", Manifest("  <file>\n    <name>\n      bin\\a.dll\n    </name>\n"
                                       "    <ipath>\n      plug   ins\n    </ipath>\n  </file>\n"));
    CUnzipMove move;
    ASSERT_TRUE(move.ParseArgs(CommandLine().c_str()));
    move.parseXMLFile(L"master_3");
    ASSERT_EQ(move.GetEntries().size(), 1u);
    EXPECT_STREQ(move.GetEntries()[0].name, L"bin\\a.dll");
    EXPECT_STREQ(move.GetEntries()[0].ipath, L"plug ins");
}

TEST_F(UnzipMoveTest, OnlyAFilesInfoRootListsAnything)
{
    Unpacked(L"a.dll", "a");
    Unpacked(L"wrong.xml", "<?xml version=\"1.0\"?><files ver=\"1\">" + FileXml("a.dll", "") + "</files>");
    Unpacked(L"broken.xml", "<files_info ver=\"1\"><file><name>a.dll</name><ipath></ipath></file>");
    Unpacked(L"upper.xml", "<FILES_INFO ver=\"1\"><file><name>a.dll</name><ipath/></file></FILES_INFO>");
    CUnzipMove move;
    ASSERT_TRUE(move.ParseArgs(CommandLine().c_str()));
    move.parseXMLFile(L"wrong");
    move.parseXMLFile(L"broken");
    move.parseXMLFile(L"absent");
    EXPECT_TRUE(move.GetEntries().empty());
    move.parseXMLFile(L"upper");
    ASSERT_EQ(move.GetEntries().size(), 1u);
    EXPECT_STREQ(move.GetEntries()[0].ipath, L"");
}

TEST_F(UnzipMoveTest, NamesAndIpathsThatLeaveTheirFoldersOrFieldsAreNotListed)
{
    // Files that a hostile name could reach from the unpack folder.
    ASSERT_TRUE(WriteBytes(dl + L"\\secret.txt", "s"));
    ASSERT_TRUE(WriteBytes(root / L"secret.txt", "s"));
    Unpacked(L"ok.dll", "ok");
    std::string longName(100, 'n');
    Unpacked(Utf8ToWideString(longName.substr(0, 99)), "99");
    std::string files;
    const char* badNames[] = {"..\\secret.txt",
                              "../secret.txt",
                              "x\\..\\..\\secret.txt",
                              "x/../../../secret.txt",
                              "\\secret.txt",
                              "C:\\secret.txt",
                              "C:secret.txt",
                              "\\\\srv\\share\\secret.txt",
                              "\\\\?\\C:\\secret.txt",
                              "ok.dll:stream",
                              "o*.dll",
                              ". .\\secret.txt",
                              "nul.dll",
                              "CON"};
    for (const char* n : badNames)
        files += FileXml(n, "");
    const char* badIpaths[] = {"..",        "..\\..\\Windows",    "x/../..",        "C:\\Windows",
                               "\\Windows", "\\\\?\\C:\\Windows", "\\\\srv\\share", "a:b",
                               "lpt1"};
    for (const char* p : badIpaths)
        files += FileXml("ok.dll", p);
    files += FileXml(longName, "");                                  // 100 characters: one too many
    files += FileXml("ok.dll", std::string(260, 'p'));               // 260 characters: one too many
    files += FileXml(longName.substr(0, 99), std::string(259, 'p')); // both at their limit
    Unpacked(L"master_3.xml", Manifest(files));
    LogCapture log;
    CUnzipMove move;
    ASSERT_TRUE(move.ParseArgs(CommandLine().c_str()));
    move.parseXMLFile(L"master_3");
    ASSERT_EQ(move.GetEntries().size(), 1u);
    EXPECT_EQ(std::wstring(move.GetEntries()[0].name), Utf8ToWideString(longName.substr(0, 99)));
    EXPECT_EQ(std::wstring(move.GetEntries()[0].ipath), std::wstring(259, L'p'));
    EXPECT_EQ(TextsStarting(log, L"CUnzipMove::parseXMLFile : refused", LOG_INFO).size(),
              sizeof badNames / sizeof *badNames + sizeof badIpaths / sizeof *badIpaths + 2);

    // Placement refuses the same paths when asked directly.
    EXPECT_EQ(move.MovefileCust(L"", L"..\\secret.txt"), 0);
    EXPECT_EQ(move.MovefileCust(L"..\\..", L"ok.dll"), 0);
    EXPECT_EQ(move.MovefileCust(L"C:\\Windows", L"ok.dll"), 0);
    EXPECT_TRUE(Exists(dl + L"\\secret.txt"));
    EXPECT_FALSE(Exists(root / L"ok.dll"));
    EXPECT_EQ(ReadBytes(unpack + L"\\ok.dll"), "ok");
}

TEST_F(UnzipMoveTest, MakeFolderCreatesOnlyTheLastLevel)
{
    EXPECT_TRUE(CUnzipMove::MakeFolder((install + L"\\one\\").c_str()));
    EXPECT_TRUE(Exists(install + L"\\one"));
    EXPECT_TRUE(CUnzipMove::MakeFolder((install + L"\\one").c_str()));
    EXPECT_FALSE(CUnzipMove::MakeFolder((install + L"\\two\\three").c_str()));
    EXPECT_FALSE(Exists(install + L"\\two"));
    Installed(L"afile", "x");
    EXPECT_FALSE(CUnzipMove::MakeFolder((install + L"\\afile").c_str()));
}

TEST_F(UnzipMoveTest, ApplyPlacesEverythingThenTheManifestsAndRemovesThePackage)
{
    StandardUpdate();
    // Read-only installed files are replaced too, at the top and in a folder of their own.
    ASSERT_TRUE(SetFileAttributesW((install + L"\\client.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW((install + L"\\config\\NVPC01.xml").c_str(), FILE_ATTRIBUTE_READONLY));
    FILETIME stamp = {0x2A69C000, 0x01D2638A}; // an archive time well in the past
    {
        HANDLE h = CreateFileW((unpack + L"\\bin\\core.dll").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        SetFileTime(h, &stamp, nullptr, &stamp);
        CloseHandle(h);
    }
    LogCapture log;
    CUnzipMove move;
    EXPECT_EQ(move.Apply(CommandLine().c_str()), 1);

    EXPECT_EQ(ReadBytes(install + L"\\client.exe"), "new client");
    EXPECT_EQ(ReadBytes(install + L"\\bin\\core.dll"), "new core");
    EXPECT_FALSE(Exists(install + L"\\other\\client.exe")) << "placed once, where the master says";
    EXPECT_EQ(ReadBytes(install + L"\\config\\master_3.xml").substr(0, 5), "<?xml");
    EXPECT_EQ(ReadBytes(install + L"\\config\\NVPC01.xml").substr(0, 5), "<?xml");
    EXPECT_FALSE(Exists(package));
    EXPECT_TRUE(Exists(unpack + L"\\bin")) << "only an empty unpack folder is removed";
    EXPECT_FALSE(Exists(unpack + L"\\client.exe")) << "placed sources are gone";
    EXPECT_TRUE(TempFiles(install).empty());
    EXPECT_TRUE(TempFiles(install + L"\\bin").empty());
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW((install + L"\\bin\\core.dll").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &stamp), 0) << "the archive's time is kept";

    std::vector<std::wstring> expected = {
        L"CUnzipMove::MovefileCust : szSrcFile=" + unpack + L"\\client.exe szDestFile=" + install +
            L"\\client.exe",
        L"CUnzipMove::MovefileCust : szSrcFile=" + unpack + L"\\bin\\core.dll szDestFile=" + install +
            L"\\bin\\core.dll",
        L"CUnzipMove::MovefileCust : szSrcFile=" + unpack + L"\\master_3.xml szDestFile=" + install +
            L"\\config\\master_3.xml",
        L"CUnzipMove::MovefileCust : szSrcFile=" + unpack + L"\\NVPC01.xml szDestFile=" + install +
            L"\\config\\NVPC01.xml",
    };
    EXPECT_EQ(TextsStarting(log, L"CUnzipMove::MovefileCust : szSrcFile="), expected);
}

TEST_F(UnzipMoveTest, ApplyRemovesAnEmptiedUnpackFolder)
{
    Unpacked(L"a.dll", "a");
    Unpacked(L"master_3.xml", Manifest(FileXml("a.dll", "") + FileXml("master_3.xml", "config")));
    CUnzipMove move;
    EXPECT_EQ(move.Apply(CommandLine().c_str()), 1);
    EXPECT_FALSE(Exists(unpack)) << "no product manifest: still a complete run";
    EXPECT_FALSE(Exists(package));
    EXPECT_EQ(ReadBytes(install + L"\\a.dll"), "a");
}

TEST_F(UnzipMoveTest, WithoutManifestsOnlyThePackageGoes)
{
    Unpacked(L"a.dll", "a");
    CUnzipMove move;
    EXPECT_EQ(move.Apply(CommandLine().c_str()), 1);
    EXPECT_FALSE(Exists(package));
    EXPECT_TRUE(Exists(unpack + L"\\a.dll"));
    EXPECT_FALSE(Exists(install + L"\\a.dll"));
}

TEST_F(UnzipMoveTest, AFailedEntryKeepsTheOldManifestsAndThePackage)
{
    StandardUpdate();
    Unpacked(L"deep.dll", "deep");
    Unpacked(L"master_3.xml", Manifest(FileXml("client.exe", "") + FileXml("master_3.xml", "config") +
                                       FileXml("deep.dll", "a\\b") + FileXml("bin\\core.dll", "")));
    LogCapture log;
    CUnzipMove move;
    EXPECT_EQ(move.Apply(CommandLine().c_str()), 0);
    // The entries that could be placed are; the one under two missing levels is not.
    EXPECT_EQ(ReadBytes(install + L"\\client.exe"), "new client");
    EXPECT_EQ(ReadBytes(install + L"\\bin\\core.dll"), "new core");
    EXPECT_FALSE(Exists(install + L"\\a"));
    // The installed manifests still describe the old state; the package stays.
    EXPECT_EQ(ReadBytes(install + L"\\config\\master_3.xml"), "old master");
    EXPECT_EQ(ReadBytes(install + L"\\config\\NVPC01.xml"), "old product");
    EXPECT_TRUE(Exists(package));
    EXPECT_TRUE(Exists(unpack + L"\\deep.dll"));
    EXPECT_TRUE(Exists(unpack + L"\\master_3.xml"));
    auto moves = TextsStarting(log, L"CUnzipMove::MovefileCust : szSrcFile=");
    ASSERT_EQ(moves.size(), 3u);
    EXPECT_NE(moves[1].find(L"szDestFile=" + install + L"\\a\\b\\deep.dll"), std::wstring::npos);
}

TEST_F(UnzipMoveTest, ALockedInstalledFileStaysAsItWas)
{
    StandardUpdate();
    ASSERT_TRUE(SetFileAttributesW((install + L"\\client.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    // The running client keeps its executable open without sharing.
    HANDLE lock = CreateFileW((install + L"\\client.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    CUnzipMove move;
    int result = move.Apply(CommandLine().c_str());
    CloseHandle(lock);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadBytes(install + L"\\client.exe"), "old client");
    EXPECT_TRUE(GetFileAttributesW((install + L"\\client.exe").c_str()) & FILE_ATTRIBUTE_READONLY)
        << "the old file is left exactly as it was";
    EXPECT_TRUE(TempFiles(install).empty());
    EXPECT_EQ(ReadBytes(unpack + L"\\client.exe"), "new client") << "the source stays for the next attempt";
    EXPECT_EQ(ReadBytes(install + L"\\config\\master_3.xml"), "old master");
    EXPECT_TRUE(Exists(package));
    // The next attempt, with the file free again, completes the update.
    CUnzipMove again;
    EXPECT_EQ(again.Apply(CommandLine().c_str()), 1);
    EXPECT_EQ(ReadBytes(install + L"\\client.exe"), "new client");
    EXPECT_NE(ReadBytes(install + L"\\config\\master_3.xml"), "old master");
}

TEST_F(UnzipMoveTest, MovefileCustCopiesIntoTheDestinationFolderAndReplacesInOneStep)
{
    Unpacked(L"a.dll", "fresh");
    Installed(L"a.dll", "installed");
    CUnzipMove move;
    ASSERT_TRUE(move.ParseArgs(CommandLine().c_str()));
    // A source that is gone fails without touching the installed file.
    EXPECT_EQ(move.MovefileCust(L"", L"gone.dll"), 0);
    EXPECT_EQ(move.MovefileCust(L"", L"a.dll"), 1);
    EXPECT_EQ(ReadBytes(install + L"\\a.dll"), "fresh");
    EXPECT_FALSE(Exists(unpack + L"\\a.dll"));
    // A folder where the file should go: refused, the folder untouched.
    Unpacked(L"b.dll", "b");
    ASSERT_TRUE(CreateDirectoryW((install + L"\\b.dll").c_str(), nullptr));
    EXPECT_EQ(move.MovefileCust(L"", L"b.dll"), 0);
    EXPECT_TRUE(GetFileAttributesW((install + L"\\b.dll").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(ReadBytes(unpack + L"\\b.dll"), "b");
    EXPECT_TRUE(TempFiles(install).empty());
    // One missing level is created.
    EXPECT_EQ(move.MovefileCust(L"plugins", L"b.dll"), 1);
    EXPECT_EQ(ReadBytes(install + L"\\plugins\\b.dll"), "b");
}

TEST_F(UnzipMoveTest, ProgramEntriesRunAndTheirExitCodeCounts)
{
    std::string stub = ReadBytes(ModuleFolder() + L"\\InstallerStub.exe");
    ASSERT_FALSE(stub.empty()) << "InstallerStub.exe should sit beside the test";
    TempDir records;
    std::wstring record = records / L"runs.txt";
    SetEnvironmentVariableW(L"NVPC_INSTALLER_RECORD", record.c_str());
    Unpacked(L"master_3_setup.exe", stub);
    Unpacked(L"a.dll", "a");
    // Type 1 wins over the master-name rule: the program runs, it is not held back.
    Unpacked(L"master_3.xml", Manifest(FileXml("master_3_setup.exe", "", "1") + FileXml("a.dll", "") +
                                       FileXml("master_3.xml", "config")));
    Installed(L"config\\master_3.xml", "old master");

    SetEnvironmentVariableW(L"NVPC_INSTALLER_EXIT", L"3");
    {
        CUnzipMove move;
        EXPECT_EQ(move.Apply(CommandLine().c_str()), 0);
    }
    EXPECT_NE(ReadBytes(record).find("start="), std::string::npos);
    EXPECT_EQ(ReadBytes(install + L"\\a.dll"), "a");
    EXPECT_EQ(ReadBytes(install + L"\\config\\master_3.xml"), "old master")
        << "a failed program is a failed update";
    EXPECT_TRUE(Exists(unpack + L"\\master_3_setup.exe"));
    EXPECT_TRUE(Exists(package));

    SetEnvironmentVariableW(L"NVPC_INSTALLER_EXIT", L"0");
    Unpacked(L"a.dll", "a2");
    {
        CUnzipMove move;
        EXPECT_EQ(move.Apply(CommandLine().c_str()), 1);
    }
    SetEnvironmentVariableW(L"NVPC_INSTALLER_EXIT", nullptr);
    SetEnvironmentVariableW(L"NVPC_INSTALLER_RECORD", nullptr);
    std::string runs = ReadBytes(record);
    size_t starts = 0;
    for (size_t at = runs.find("start="); at != std::string::npos; at = runs.find("start=", at + 1))
        ++starts;
    EXPECT_EQ(starts, 2u);
    EXPECT_FALSE(Exists(unpack)) << "a program that ran is removed with the rest";
    EXPECT_FALSE(Exists(install + L"\\master_3_setup.exe"));
    EXPECT_EQ(ReadBytes(install + L"\\a.dll"), "a2");
    EXPECT_NE(ReadBytes(install + L"\\config\\master_3.xml"), "old master");
}

TEST_F(UnzipMoveTest, LinksAreNeitherReadNorWrittenThrough)
{
    std::wstring outside = root / L"outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(outside + L"\\victim.dll", "victim"));
    JunctionGuard links;
    if (!links.Make(install + L"\\bin", outside) || !links.Make(unpack + L"\\lib", outside) ||
        !links.Make(install + L"\\planted.dll", outside))
        GTEST_SKIP() << "no junctions on this system";
    Unpacked(L"victim.dll", "attacker");
    Unpacked(L"planted.dll", "attacker");
    LogCapture log;
    CUnzipMove move;
    ASSERT_TRUE(move.ParseArgs(CommandLine().c_str()));
    EXPECT_EQ(move.MovefileCust(L"bin", L"victim.dll"), 0);
    EXPECT_EQ(move.MovefileCust(L"", L"lib\\victim.dll"), 0);
    // A link where the file itself goes: found among the folder's names, looked at, refused.
    EXPECT_EQ(move.MovefileCust(L"", L"planted.dll"), 0);
    EXPECT_EQ(ReadBytes(unpack + L"\\planted.dll"), "attacker") << "the source stays";
    // A missing level behind the link is not made there either.
    EXPECT_EQ(move.MovefileCust(L"bin\\sub", L"victim.dll"), 0);
    EXPECT_EQ(ReadBytes(outside + L"\\victim.dll"), "victim");
    EXPECT_FALSE(Exists(outside + L"\\sub"));
    EXPECT_FALSE(Exists(install + L"\\lib"));
    EXPECT_EQ(ReadBytes(unpack + L"\\victim.dll"), "attacker") << "the source stays";
    EXPECT_EQ(TextsStarting(log, L"CUnzipMove::MovefileCust : refused link", LOG_INFO).size(), 4u);
}

// The unpack folder itself a link, from the start or swapped in after the first file was
// placed: nothing more is read from it, and the outside file stays where it is.
TEST_F(UnzipMoveTest, AnUnpackFolderThatIsALinkGivesNothing)
{
    std::wstring outside = root / L"outside", real = dl + L"\\real";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(outside + L"\\a.dll", "outside a"));
    ASSERT_TRUE(WriteBytes(outside + L"\\b.dll", "outside b"));
    Unpacked(L"b.dll", "new b");
    for (bool fromStart : {true, false})
    {
        SCOPED_TRACE(fromStart ? "from the start" : "after the first file");
        Unpacked(L"a.dll", "new a");
        {
            JunctionGuard links;
            CUnzipMove move;
            ASSERT_TRUE(move.ParseArgs(CommandLine().c_str()));
            if (!fromStart)
            {
                EXPECT_EQ(move.MovefileCust(L"", L"a.dll"), 1);
            }
            ASSERT_TRUE(MoveFileW(unpack.c_str(), real.c_str()));
            if (!links.Make(unpack, outside))
            {
                MoveFileW(real.c_str(), unpack.c_str());
                GTEST_SKIP() << "no folder links on this system";
            }
            EXPECT_EQ(move.MovefileCust(L"", L"b.dll"), 0);
            if (fromStart)
            {
                EXPECT_EQ(move.MovefileCust(L"", L"a.dll"), 0);
            }
        }
        ASSERT_TRUE(MoveFileW(real.c_str(), unpack.c_str()));
        EXPECT_EQ(ReadBytes(outside + L"\\a.dll"), "outside a");
        EXPECT_EQ(ReadBytes(outside + L"\\b.dll"), "outside b");
        EXPECT_FALSE(Exists(install + L"\\b.dll"));
        EXPECT_EQ(Exists(install + L"\\a.dll"), !fromStart);
        DeleteFileW((install + L"\\a.dll").c_str());
    }
}

TEST_F(UnzipMoveTest, ReparseWalkReportsTheLastComponentsAttributes)
{
    StandardUpdate();
    JunctionGuard links;
    std::wstring outside = root / L"outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    bool haveLink = links.Make(install + L"\\link", outside);
    struct Case
    {
        const wchar_t* rel;
        bool linked;
        DWORD attrs; // INVALID_FILE_ATTRIBUTES: missing; else the bit that must be set
    } cases[] = {{L"client.exe", false, FILE_ATTRIBUTE_READONLY},
                 {L"bin", false, FILE_ATTRIBUTE_DIRECTORY},
                 {L"bin\\missing.dll", false, INVALID_FILE_ATTRIBUTES},
                 {L"nosuch\\deeper\\x.dll", false, INVALID_FILE_ATTRIBUTES},
                 {L"link\\x.dll", true, 0}};
    ASSERT_TRUE(SetFileAttributesW((install + L"\\client.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.rel)));
        if (c.linked && !haveLink)
            continue;
        DWORD last = 12345;
        EXPECT_EQ(HasReparseComponent(install, false, c.rel, &last), c.linked);
        EXPECT_EQ(HasReparseComponent(install, false, c.rel), c.linked) << "the same answer without it";
        if (c.linked)
            continue;
        if (c.attrs == INVALID_FILE_ATTRIBUTES)
            EXPECT_EQ(last, INVALID_FILE_ATTRIBUTES);
        else
            EXPECT_TRUE(last != INVALID_FILE_ATTRIBUTES && (last & c.attrs));
    }
    SetFileAttributesW((install + L"\\client.exe").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(UnzipMoveTest, RefusedEntriesWhoseFileCameWithTheUpdateFailIt)
{
    struct Case
    {
        const char* what;
        std::string file; // the refused entry
        int result;
    } cases[] = {
        {"hostile ipath, file present", FileXml("a.dll", "..\\..\\Windows"), 0},
        {"overlong ipath, file present", FileXml("a.dll", std::string(260, 'p')), 0},
        {"overlong name, file present", FileXml(std::string(100, 'n'), ""), 0},
        {"hostile name", FileXml("..\\a.dll", ""), 0},
        {"hostile ipath, no such file", FileXml("absent.dll", "C:\\Windows"), 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        Unpacked(L"a.dll", "a");
        Unpacked(std::wstring(100, L'n'), "n");
        Unpacked(L"ok.dll", "ok");
        Unpacked(L"master_3.xml",
                 Manifest(FileXml("ok.dll", "") + c.file + FileXml("master_3.xml", "config")));
        Installed(L"config\\master_3.xml", "old master");
        ASSERT_TRUE(WriteBytes(package, "PK-the-archive"));
        CUnzipMove move;
        EXPECT_EQ(move.Apply(CommandLine().c_str()), c.result);
        EXPECT_EQ(ReadBytes(install + L"\\ok.dll"), "ok");
        EXPECT_EQ(ReadBytes(install + L"\\config\\master_3.xml") == "old master", c.result == 0);
        EXPECT_EQ(Exists(package), c.result == 0);
        EXPECT_EQ(move.GetRefusedCount(), 1 - c.result);
    }
}

TEST_F(UnzipMoveTest, OneFileIsOneEntryWhateverItsSeparatorsCaseAndDotParts)
{
    ASSERT_TRUE(CreateDirectoryW((unpack + L"\\bin").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((install + L"\\bin").c_str(), nullptr));
    Unpacked(L"bin\\a.dll", "a");
    Unpacked(L"b.dll", "b");
    Unpacked(L"c.dll", "c");
    Unpacked(L"master_3.xml", Manifest(FileXml("bin/a.dll", "") + FileXml("./b.dll", ".") +
                                       FileXml("c.dll", ".\\bin") + FileXml("master_3.xml", "config")));
    Unpacked(L"NVPC01.xml",
             Manifest(FileXml("BIN\\A.DLL", "other") + FileXml("bin\\.\\a.dll", "") + FileXml("B.dll", "") +
                      FileXml("bin//a.dll", "") + FileXml("NVPC01.xml", "./config/")));
    CUnzipMove move;
    ASSERT_TRUE(move.ParseArgs(CommandLine().c_str()));
    move.parseXMLFile(L"master_3");
    move.parseXMLFile(L"NVPC01");
    const auto& e = move.GetEntries();
    ASSERT_EQ(e.size(), 5u);
    EXPECT_STREQ(e[0].name, L"bin\\a.dll");
    EXPECT_STREQ(e[1].name, L"b.dll");
    EXPECT_STREQ(e[1].ipath, L"");
    EXPECT_STREQ(e[2].ipath, L"bin");
    EXPECT_STREQ(e[4].name, L"NVPC01.xml");
    EXPECT_STREQ(e[4].ipath, L"config");

    CUnzipMove run;
    EXPECT_EQ(run.Apply(CommandLine().c_str()), 1) << "every file placed once: the update completes";
    EXPECT_EQ(ReadBytes(install + L"\\bin\\a.dll"), "a");
    EXPECT_EQ(ReadBytes(install + L"\\b.dll"), "b");
    EXPECT_EQ(ReadBytes(install + L"\\bin\\c.dll"), "c");
    EXPECT_FALSE(Exists(install + L"\\other"));
    EXPECT_TRUE(Exists(install + L"\\config\\NVPC01.xml"));
    EXPECT_FALSE(Exists(package));

    // ".." stays refused, however it is spelled around "." parts.
    std::wstring out;
    for (const wchar_t* bad : {L"./../a.dll", L"bin/./../../a.dll", L"./", L".", L"/./a.dll", L". /a.dll"})
        EXPECT_FALSE(NormalizeRelativePath(bad, false, out)) << WideToUtf8(bad);
    EXPECT_TRUE(NormalizeRelativePath(L".", true, out));
    EXPECT_EQ(out, L"");
    EXPECT_TRUE(SameFileName(L"Bin\\\u00C4.dll", L"bIN\\\u00E4.DLL")) << "not only ASCII letters";
}

TEST_F(UnzipMoveTest, AnInstalledProgramInUseIsMovedAsideAndRemovedWhenFree)
{
    // A running program: its image is mapped, so it can be renamed but neither replaced
    // nor deleted.
    std::string stub = ReadBytes(ModuleFolder() + L"\\InstallerStub.exe");
    ASSERT_FALSE(stub.empty());
    Installed(L"client.exe", stub);
    Installed(L"config\\master_3.xml", "old master");
    Unpacked(L"client.exe", stub + "new");
    Unpacked(L"master_3.xml", Manifest(FileXml("client.exe", "") + FileXml("master_3.xml", "config")));
    HANDLE file = CreateFileW((install + L"\\client.exe").c_str(), GENERIC_READ | GENERIC_EXECUTE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE image = CreateFileMappingW(file, nullptr, PAGE_READONLY | SEC_IMAGE, 0, 0, nullptr);
    CloseHandle(file);
    ASSERT_NE(image, nullptr);
    void* view = MapViewOfFile(image, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    // Leftovers of earlier runs, and files of the user that only look a bit like ours.
    Installed(L"~nvpc77_3.tmp", "killed run");
    Installed(L"~nvpcold77_4_gone.dll.tmp", "the only copy of gone.dll");
    Installed(L"~nvpc_notes.tmp", "user");
    Installed(L"~nvpcold.tmp", "user");
    Installed(L"~nvpc77_3.tmp.bak", "user");

    CUnzipMove move;
    int result = move.Apply(CommandLine().c_str());
    UnmapViewOfFile(view);
    CloseHandle(image);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(ReadBytes(install + L"\\client.exe") == stub + "new") << "the new program is in place";
    EXPECT_NE(ReadBytes(install + L"\\config\\master_3.xml"), "old master");
    EXPECT_FALSE(Exists(package));
    EXPECT_FALSE(Exists(install + L"\\~nvpc77_3.tmp")) << "removed by the placement into that folder";

    // The next run, with the old program no longer running, removes it; the names it hands
    // back are exactly what the folder holds afterwards, whatever their case.
    Installed(L"~NVPC77_9.tmp", "a run killed since");
    std::unordered_set<std::wstring> names;
    EXPECT_TRUE(RemoveStaleAsideFiles(install, &names));
    EXPECT_FALSE(Exists(install + L"\\~NVPC77_9.tmp"));
    std::vector<std::wstring> left = TempFiles(install);
    std::sort(left.begin(), left.end());
    std::vector<std::wstring> expected = {L"~nvpc77_3.tmp.bak", L"~nvpc_notes.tmp", L"~nvpcold.tmp",
                                          L"~nvpcold77_4_gone.dll.tmp"};
    EXPECT_EQ(left, expected);
    std::unordered_set<std::wstring> held;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((install + L"\\*").c_str(), &fd);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do
        if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L".."))
            held.insert(FileNameKey(fd.cFileName));
    while (FindNextFileW(find, &fd));
    FindClose(find);
    EXPECT_EQ(names, held);
    EXPECT_TRUE(names.count(FileNameKey(L"Client.EXE")) && names.count(FileNameKey(L"CONFIG")));

    // A folder that is not there holds nothing, and that is a complete answer.
    names.clear();
    EXPECT_TRUE(RemoveStaleAsideFiles(install + L"\\missing", &names));
    EXPECT_TRUE(names.empty());
}

TEST_F(UnzipMoveTest, PlantedFileLinksAreNeitherReadNorDeleted)
{
    std::wstring outside = root / L"outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(outside + L"\\secret.exe", "outside secret"));
    ASSERT_TRUE(WriteBytes(outside + L"\\shared.dll", "outside shared"));
    StandardUpdate();
    DeleteFileW((unpack + L"\\client.exe").c_str());
    DeleteFileW((unpack + L"\\bin\\core.dll").c_str());
    JunctionGuard links;
    if (!links.MakeFileLink(unpack + L"\\client.exe", outside + L"\\secret.exe", false) ||
        !links.MakeFileLink(unpack + L"\\bin\\core.dll", outside + L"\\shared.dll", true))
        GTEST_SKIP() << "no file links on this system";
    LogCapture log;
    CUnzipMove move;
    EXPECT_EQ(move.Apply(CommandLine().c_str()), 0);
    EXPECT_EQ(ReadBytes(outside + L"\\secret.exe"), "outside secret");
    EXPECT_EQ(ReadBytes(outside + L"\\shared.dll"), "outside shared");
    EXPECT_EQ(ReadBytes(install + L"\\client.exe"), "old client");
    EXPECT_FALSE(Exists(install + L"\\bin\\core.dll"));
    EXPECT_EQ(ReadBytes(install + L"\\config\\master_3.xml"), "old master");
    EXPECT_TRUE(Exists(package));
    EXPECT_EQ(TextsStarting(log, L"CUnzipMove::MovefileCust : refused link", LOG_INFO).size(), 2u);

    // The check itself, on what each name opened.
    struct Case
    {
        const wchar_t* rel;
        bool inside;
    } cases[] = {{L"client.exe", false}, {L"bin\\core.dll", false}, {L"master_3.xml", true}};
    for (const Case& c : cases)
    {
        UniqueFile f(CreateFileW((unpack + L"\\" + c.rel).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        ASSERT_TRUE(f) << WideToUtf8(c.rel);
        EXPECT_EQ(IsOpenedFileInside(f.get(), unpack, c.rel, true), c.inside) << WideToUtf8(c.rel);
    }
}

TEST(OwnFileNames, OnlyOurExactPatternsAreOurs)
{
    std::wstring original;
    struct Case
    {
        const wchar_t* name;
        bool temp, aside;
    } cases[] = {
        {L"~nvpc12_3.tmp", true, false},          {L"~NVPC12_3.TMP", true, false},
        {L"~nvpcold12_3_a.dll.tmp", false, true}, {L"~nvpc12_.tmp", false, false},
        {L"~nvpc_3.tmp", false, false},           {L"~nvpc12_3.tmpx", false, false},
        {L"~nvpc12_3x.tmp", false, false},        {L"~nvpcold12_3_.tmp", false, false},
        {L"~nvpcold12_3.tmp", false, false},      {L"~nvpcold12_3_..tmp", false, false},
        {L"x~nvpc12_3.tmp", false, false},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(IsOwnTempName(c.name), c.temp) << WideToUtf8(c.name);
        EXPECT_EQ(IsOwnAsideName(c.name, &original), c.aside) << WideToUtf8(c.name);
    }
    ASSERT_TRUE(IsOwnAsideName(L"~nvpcold12_3_a.dll.tmp", &original));
    EXPECT_EQ(original, L"a.dll");
}
