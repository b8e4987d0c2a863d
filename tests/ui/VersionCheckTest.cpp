// CVersionCheck: the update's manifest versions against the installed ones, read from real
// manifests in temporary folders, and the log lines the update dialogs write about them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "params/Param.h"
#include "support/TestSupport.h"
#include "ui/VersionCheck.h"

namespace
{
std::string Manifest(const std::string& ver)
{
    return "<?xml version=\"1.0\"?>\n<files_info ver=\"" + ver +
           "\">\n  <file><name>a.dll</name><ipath></ipath></file>\n</files_info>\n";
}

const std::string k19(19, '7'); // fits the 20-byte text
const std::string k20(20, '7'); // one too many
const std::string k25(25, '8');

// The product's folders: an update archive's unpack folder and an install folder beside
// the test program (UseModuleFolder with a group of our own), removed afterwards.
struct Product
{
    explicit Product(const std::wstring& unpackFolder, const wchar_t* group = L"vcheck")
        : unpack(unpackFolder), install(ModuleFolder() + L"\\" + group)
    {
        param.SetProductType(L"3");
        param.SetProductID(L"P1");
        param.SetUseModuleFolder(1);
        param.SetGroup(group);
        param.SetDownPath((unpack + L".zip").c_str());
        CreateDirectoryW(unpack.c_str(), nullptr);
        CreateDirectoryW(install.c_str(), nullptr);
        CreateDirectoryW((install + L"\\config").c_str(), nullptr);
    }
    ~Product() { RemoveTree(install); }
    // files: update master, update product, installed master, installed product; "" is
    // no file.
    void Write(const std::string (&files)[4]) const
    {
        const std::wstring paths[4] = {unpack + L"\\master_3.xml", unpack + L"\\P1.xml",
                                       install + L"\\config\\master_3.xml", install + L"\\config\\P1.xml"};
        for (int i = 0; i < 4; ++i)
        {
            DeleteFileW(paths[i].c_str());
            if (!files[i].empty())
            {
                ASSERT_TRUE(WriteBytes(paths[i], files[i]));
            }
        }
    }
    std::wstring unpack, install;
    CParam param;
};
} // namespace

TEST(VersionCheck, ComparesTheUpdatesManifestVersionsWithTheInstalledOnes)
{
    // files: update master, update product, installed master, installed product ("": none);
    // texts: what each reads as (null: unreadable, the text keeps what it held);
    // suffix: L"" when the check passes (result 1), else the failure's code (result 0).
    struct Case
    {
        const char* name;
        std::string files[4];
        const wchar_t* suffix;
        const char* texts[4];
    };
    // clang-format off
    const Case cases[] = {
        {"same master, no products",
         {Manifest("1.0.2"), "", Manifest("1.0.2"), ""}, L"", {"1.0.2", nullptr, "1.0.2", nullptr}},
        {"no update master: product 5.1 against 5.10",
         {"", Manifest("5.1"), Manifest("9"), Manifest("5.10")}, L" (7-2)", {nullptr, "5.1", "9", "5.10"}},
        {"a trailing blank differs; products then not compared",
         {Manifest("2.0"), Manifest("1"), Manifest("2.0 "), Manifest("2")}, L" (7-1)", {"2.0", "1", "2.0 ", "2"}},
        {"case counts in versions; a newer installed version fails too",
         {Manifest("1.0a"), Manifest("1.0"), Manifest("1.0A"), Manifest("1.1")}, L" (7-1)", {"1.0a", "1.0", "1.0A", "1.1"}},
        {"root name in any case",
         {"<FILES_INFO ver=\"3.1\"/>", "<Files_Info ver=\"4\"></Files_Info>", Manifest("3.1"), "<files_INFO ver=\"4\"/>"}, L"", {"3.1", "4", "3.1", "4"}},
        {"VER is not ver: the update's disables its comparison",
         {"<files_info VER=\"7\"/>", "", Manifest("1"), ""}, L"", {nullptr, nullptr, "1", nullptr}},
        {"VER is not ver: the installed one is missing",
         {Manifest("7"), "", "<files_info VER=\"7\"/>", ""}, L" (7-1)", {"7", nullptr, nullptr, nullptr}},
        {"unparsable and foreign update manifests are not compared",
         {"<files_info ver=\"1\"", "<file_list ver=\"2\"/>", Manifest("x"), Manifest("y")}, L"", {nullptr, nullptr, "x", "y"}},
        {"installed manifests missing or unparsable",
         {Manifest("1"), Manifest("2"), "", "not xml"}, L" (7-1)", {"1", "2", nullptr, nullptr}},
        {"installed product missing",
         {Manifest("1"), Manifest("2"), Manifest("1"), ""}, L" (7-2)", {"1", "2", "1", nullptr}},
        {"an empty update version is not compared",
         {Manifest(""), "", Manifest("3"), ""}, L"", {"", nullptr, "3", nullptr}},
        {"no update manifests at all: nothing to compare",
         {"", "", "", ""}, L"", {nullptr, nullptr, nullptr, nullptr}},
        {"19 characters fit",
         {Manifest(k19), Manifest(k19), Manifest(k19), Manifest(k19)}, L"", {k19.c_str(), k19.c_str(), k19.c_str(), k19.c_str()}},
        {"an overlong update master fails even against the same text",
         {Manifest(k20), Manifest("1"), Manifest(k20), Manifest("1")}, L" (7-1)", {nullptr, "1", nullptr, "1"}},
        {"an overlong update product fails even against the same text",
         {Manifest("1"), Manifest(k25), Manifest("1"), Manifest(k25)}, L" (7-2)", {"1", nullptr, "1", nullptr}},
        {"an overlong installed version is not the update's",
         {Manifest("1"), "", Manifest(k20), ""}, L" (7-1)", {"1", nullptr, nullptr, nullptr}},
        {"an overlong installed product with no update product passes",
         {Manifest("1"), "", Manifest("1"), Manifest(k20)}, L"", {"1", nullptr, "1", nullptr}},
    };
    // clang-format on
    TempDir tmp;
    // A dotted folder: only the archive's own extension goes.
    Product product(tmp / L"v1.2 upgrade");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        product.Write(c.files);
        CVersionCheck check(&product.param, L"CNVPCUpdaterDlg");

        // Reading alone: a text that cannot be read keeps what it held.
        char texts[4][CVersionCheck::kVersionBytes] = {"prev", "prev", "prev", "prev"};
        check.getXMLVersion((product.unpack + L"\\").c_str(), L"master_3", texts[0], L"P1", texts[1]);
        check.getXMLVersion((product.install + L"\\config\\").c_str(), L"master_3", texts[2], L"P1",
                            texts[3]);
        for (int i = 0; i < 4; ++i)
            EXPECT_STREQ(texts[i], c.texts[i] ? c.texts[i] : "prev") << "manifest " << i;

        // The dialog's run: zeroed at start, update read on timer 104, checked on 105.
        check.Reset();
        check.readUpdateVersions();
        std::wstring suffix;
        EXPECT_EQ(check.checkCompleteVersion(suffix), *c.suffix ? 0 : 1);
        EXPECT_EQ(suffix, c.suffix);
        const char* held[4] = {check.MasterUpdateVersion(), check.ProductUpdateVersion(),
                               check.MasterInstalledVersion(), check.ProductInstalledVersion()};
        for (int i = 0; i < 4; ++i)
            EXPECT_STREQ(held[i], c.texts[i] ? c.texts[i] : "") << "text " << i;
    }
}

TEST(VersionCheck, LogsBothReadsAndTheFourTextsInOrderUnderTheDialogsName)
{
    struct Case
    {
        const wchar_t* dialog;
        std::string updateProduct;
        std::vector<std::wstring> extraFirst; // lines before the first read's own line
        const wchar_t* productUpdVer;
        const wchar_t* suffix;
    };
    TempDir tmp;
    Product product(tmp / L"updatefile");
    const std::wstring unpack = product.unpack + L"\\";
    const std::wstring config = product.install + L"\\config\\";
    const Case cases[] = {
        {L"CNVPCUpdaterDlg", Manifest("2.0"), {}, L"2.0", L" (7-2)"},
        {L"CNVPCJustUpdaterDlg",
         Manifest(k20),
         {L"CNVPCJustUpdaterDlg::getXMLVersion : ver too long szXML=" + unpack + L"P1.xml"},
         L"",
         L" (7-2)"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(WideToUtf8(c.dialog));
        product.Write({Manifest("1.0"), c.updateProduct, Manifest("1.0"), Manifest("2.1")});
        std::vector<LogLine> lines;
        std::wstring suffix;
        {
            LogCapture log;
            CVersionCheck check(&product.param, c.dialog);
            check.readUpdateVersions();
            EXPECT_EQ(check.checkCompleteVersion(suffix), 0);
            lines = log.Lines();
        }
        EXPECT_EQ(suffix, c.suffix);
        const std::wstring name = c.dialog;
        std::vector<std::pair<int, std::wstring>> expected;
        for (const std::wstring& line : c.extraFirst)
            expected.push_back({1, line});
        for (const std::wstring& folder : {unpack, config})
            expected.push_back({0, name + L"::getXMLVersion : szXMLMaster(master_3)=" + folder +
                                       L"master_3.xml szXMLProduct(P1)=" + folder + L"P1.xml"});
        expected.push_back({0, L"checkCompleteVersion master : szUpdVer=1.0"});
        expected.push_back({0, std::wstring(L"checkCompleteVersion product : szUpdVer=") + c.productUpdVer});
        expected.push_back({0, L"checkCompleteVersion master : szNewVer=1.0"});
        expected.push_back({0, L"checkCompleteVersion product : szNewVer=2.1"});
        std::vector<std::pair<int, std::wstring>> got;
        for (const LogLine& line : lines)
            got.push_back({line.level, line.text});
        EXPECT_EQ(got, expected);
    }
}

TEST(VersionCheck, FindsTheManifestsBesideTheArchiveAndInTheInstalledConfigFolder)
{
    TempDir tmp;
    Product product(tmp / L"unused");
    const std::wstring longPath = L"X:\\" + std::wstring(MAX_PATH, L'a') + L".zip";
    struct Case
    {
        std::wstring downPath;
        const wchar_t* productId;
        std::wstring master, productPath; // the paths read; "" reads nothing
    };
    const Case cases[] = {
        {L"X:\\dl\\updatefile.zip", L"P1", L"X:\\dl\\updatefile\\master_3.xml",
         L"X:\\dl\\updatefile\\P1.xml"},
        {L"X:\\dl\\v1.2\\updatefile", L"P1", L"X:\\dl\\v1.2\\updatefile\\master_3.xml",
         L"X:\\dl\\v1.2\\updatefile\\P1.xml"},
        {L"X:\\dl\\updatefile.zip", L"", L"X:\\dl\\updatefile\\master_3.xml", L""},
        // No archive: no folder, so nothing is read (not the current folder's files).
        {L"", L"P1", L"", L""},
        {longPath, L"P1", L"", L""},
    };
    // Manifests in the current folder must never be taken for the update's.
    TempDir cwd;
    ASSERT_TRUE(WriteBytes(cwd / L"master_3.xml", Manifest("9")));
    ASSERT_TRUE(WriteBytes(cwd / L"P1.xml", Manifest("9")));
    struct CurrentFolder
    {
        wchar_t previous[MAX_PATH] = {};
        CurrentFolder() { GetCurrentDirectoryW(MAX_PATH, previous); }
        ~CurrentFolder() { SetCurrentDirectoryW(previous); }
    } restore;
    ASSERT_TRUE(SetCurrentDirectoryW(cwd.path().c_str()));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(WideToUtf8(c.downPath));
        product.param.SetDownPath(c.downPath.c_str());
        product.param.SetProductID(c.productId);
        LogCapture log;
        CVersionCheck check(&product.param, L"CNVPCUpdaterDlg");
        check.readUpdateVersions();
        std::wstring suffix;
        EXPECT_EQ(check.checkCompleteVersion(suffix), 1);
        EXPECT_STREQ(check.MasterUpdateVersion(), "");
        EXPECT_STREQ(check.ProductUpdateVersion(), "");
        std::vector<std::wstring> texts = log.Texts();
        ASSERT_GE(texts.size(), 2u);
        const std::wstring config = product.install + L"\\config\\";
        EXPECT_EQ(texts[0], L"CNVPCUpdaterDlg::getXMLVersion : szXMLMaster(master_3)=" + c.master +
                                L" szXMLProduct(" + c.productId + L")=" + c.productPath);
        EXPECT_EQ(texts[1], L"CNVPCUpdaterDlg::getXMLVersion : szXMLMaster(master_3)=" + config +
                                L"master_3.xml szXMLProduct(" + c.productId + L")=" +
                                (*c.productId ? config + L"P1.xml" : L""));
    }
    // An empty folder handed in directly reads nothing either.
    CVersionCheck check(&product.param, L"CNVPCUpdaterDlg");
    char master[CVersionCheck::kVersionBytes] = "prev", prod[CVersionCheck::kVersionBytes] = "prev";
    CVersionCheck::ReadResults r = check.getXMLVersion(L"", L"master_3", master, L"P1", prod);
    EXPECT_EQ(r.master, CVersionCheck::kUnchanged);
    EXPECT_EQ(r.product, CVersionCheck::kUnchanged);
    EXPECT_STREQ(master, "prev");
}
