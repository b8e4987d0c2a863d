// The product folders and the own-version comparison.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>

#include "params/FileVersion.h"
#include "params/Param.h"
#include "support/TestSupport.h"

namespace
{
std::wstring ShellFolder(int csidl)
{
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return L"";
    return buffer;
}

bool IsFolder(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring Widen(const char* text)
{
    return Utf8ToWideString(text ? text : "");
}

// "folders OUTFILE GROUP PRODUCT FILE": a copy of this program in another folder reports
// its folders, one per line, so the module-folder rules can be seen from outside.
int ChildScenario(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[0], "folders") == 0)
    {
        CParam p;
        p.SetUseModuleFolder(1);
        p.SetGroup(Widen(argv[2]).c_str());
        p.SetProductID(Widen(argv[3]).c_str());
        p.SetFileName(Widen(argv[4]).c_str());
        std::wstring report =
            p.GetInstallFolder() + L"\n" + p.GetFilePath() + L"\n" + p.GetConfigFolder() + L"\n";
        return WriteBytes(Widen(argv[1]), WideToUtf8(report)) ? 0 : 3;
    }
    return 2;
}
ChildScenarioRegistrar g_registrar(ChildScenario);

std::vector<std::wstring> Lines(const std::string& utf8)
{
    std::vector<std::wstring> out;
    std::wstring all = Utf8ToWideString(utf8);
    size_t pos = 0, end;
    while ((end = all.find(L'\n', pos)) != std::wstring::npos)
    {
        out.push_back(all.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}
} // namespace

TEST(ProductFolders, ModuleFolderIsUsedWithTheGroupButWithoutTheProduct)
{
    TempDir dir;
    std::wstring exe = dir / L"copy.exe";
    ASSERT_TRUE(CopyFileW(ModulePath().c_str(), exe.c_str(), FALSE));
    ASSERT_TRUE(CreateDirectoryW((dir / L"Grp").c_str(), nullptr));
    std::wstring out = dir / L"out.txt";
    ASSERT_EQ(RunProcess(exe, L"--child folders \"" + out + L"\" Grp P1 client.exe"), 0);
    auto lines = Lines(ReadBytes(out));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], dir.path() + L"\\Grp");
    EXPECT_EQ(lines[1], dir.path() + L"\\Grp\\client.exe");
    EXPECT_EQ(lines[2], dir.path() + L"\\Grp\\config");
    EXPECT_TRUE(IsFolder(dir / L"Grp\\config"));

    // Without a group the product sits right beside the program; no file name, no
    // backslash.
    ASSERT_EQ(RunProcess(exe, L"--child folders \"" + out + L"\" \"\" P1 \"\""), 0);
    lines = Lines(ReadBytes(out));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], dir.path());
    EXPECT_EQ(lines[1], dir.path());
    EXPECT_EQ(lines[2], dir.path() + L"\\config");
    EXPECT_TRUE(IsFolder(dir / L"config"));
}

TEST(ProductFolders, ProgramFilesWithGroupAndProduct)
{
    std::wstring programFiles = ShellFolder(CSIDL_PROGRAM_FILES);
    ASSERT_FALSE(programFiles.empty());
    CParam p;
    p.SetProductID(L"P1");
    EXPECT_EQ(p.GetInstallFolder(), programFiles + L"\\P1");
    p.SetGroup(L"Norvane");
    EXPECT_EQ(p.GetInstallFolder(), programFiles + L"\\Norvane\\P1");
    EXPECT_EQ(p.GetFilePath(), programFiles + L"\\Norvane\\P1");
    p.SetFileName(L"client.exe");
    EXPECT_EQ(p.GetFilePath(), programFiles + L"\\Norvane\\P1\\client.exe");
    EXPECT_EQ(p.GetConfigFolder(), programFiles + L"\\Norvane\\P1\\config");
    CParam empty;
    EXPECT_EQ(empty.GetInstallFolder(), programFiles);
}

TEST(ProductFolders, PathsLongerThanMaxPathAreRefused)
{
    std::wstring programFiles = ShellFolder(CSIDL_PROGRAM_FILES);
    std::wstring part(99, L'x');
    CParam p;
    p.SetGroup(part.c_str());
    p.SetProductID(part.c_str());
    ASSERT_LE(programFiles.size() + 200, 259u);
    EXPECT_EQ(p.GetInstallFolder(), programFiles + L"\\" + part + L"\\" + part);
    p.SetFileName(part.c_str());
    EXPECT_EQ(p.GetFilePath(), L"") << "a cut path would name another file";
}

TEST(ProductFolders, UpgradeFolderIsCreated)
{
    std::wstring common = ShellFolder(CSIDL_COMMON_APPDATA);
    ASSERT_FALSE(common.empty());
    std::wstring product = L"nvpc_upgrade_test_" + std::to_wstring(GetCurrentProcessId());
    CParam p;
    p.SetProductID(product.c_str());
    std::wstring folder = p.GetUpgradeFolder();
    EXPECT_EQ(folder, common + L"\\" + product + L"\\upgrade");
    EXPECT_TRUE(IsFolder(folder));
    // Asking again with the folder in place gives the same answer.
    EXPECT_EQ(p.GetUpgradeFolder(), folder);
    RemoveTree(common + L"\\" + product);
}

TEST(OwnVersion, SubBlockSpellsLanguageAndCodePageInUpperCaseHex)
{
    EXPECT_EQ(FileVersionSubBlock(0x0411, 0x03A4), L"\\StringFileInfo\\041103A4\\FileVersion");
    EXPECT_EQ(FileVersionSubBlock(0x0c0a, 0x04e4), L"\\StringFileInfo\\0C0A04E4\\FileVersion");
}

TEST(OwnVersion, ComparesWithThisProgramsFileVersionIgnoringCase)
{
    // This test program carries FileVersion "1.0.2.9-rc" for language 0409, code page 1200.
    EXPECT_EQ(GetModuleFileVersion(nullptr), L"1.0.2.9-rc");
    CParam p;
    EXPECT_NE(p.IsVersionDifferent(), 0) << "an empty Version counts as different";
    p.SetVersion(L"1.0.2.9-rc");
    EXPECT_EQ(p.IsVersionDifferent(), 0);
    p.SetVersion(L"1.0.2.9-RC");
    EXPECT_EQ(p.IsVersionDifferent(), 0);
    p.SetVersion(L"1.0.2.9");
    EXPECT_NE(p.IsVersionDifferent(), 0);
    p.SetVersion(L"1.0.2.9-rc ");
    EXPECT_NE(p.IsVersionDifferent(), 0);
}

namespace
{
// The probe modules beside this program carry different version resources.
std::wstring ProbeVersion(const wchar_t* name)
{
    HMODULE module = LoadLibraryW((ModuleFolder() + L"\\" + name).c_str());
    EXPECT_NE(module, nullptr) << "missing probe module";
    if (!module)
        return L"(missing)";
    std::wstring version = GetModuleFileVersion(module);
    FreeLibrary(module);
    return version;
}
} // namespace

TEST(OwnVersion, TheTranslationSelectsTheStringTable)
{
    // Translation 0411/932 picks "041103A4", not the "040904B0" table beside it.
    EXPECT_EQ(ProbeVersion(L"version_probe_translated.dll"), L"2.5.0.1 ja");
    // Translation 0412/949 without a matching table: no other table is tried.
    EXPECT_EQ(ProbeVersion(L"version_probe_unmatched.dll"), L"0.0.0.0");
    // No version resource at all.
    EXPECT_EQ(ProbeVersion(L"version_probe_none.dll"), L"0.0.0.0");
}

TEST(OwnVersion, WithoutExactlyOneTranslationTheUserLanguageIsUsed)
{
    if (GetUserDefaultLangID() != 0x0409)
        GTEST_SKIP() << "the probes carry a table for language 0409 only";
    // No translation value, and a value of two translations (8 bytes): both fall back to
    // the user's language with code page 04B0.
    EXPECT_EQ(ProbeVersion(L"version_probe_untranslated.dll"), L"7.7.7.7");
    EXPECT_EQ(ProbeVersion(L"version_probe_two.dll"), L"7.7.7.8");
}
