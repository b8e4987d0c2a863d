// The registrar and the server's switches: the loader control's real script applied to keys
// of the test's own (every key and value, and what unregistration leaves), the per-user
// rewrite, scripts that must not be applied at all, and the command-line switches.
#include <gtest/gtest.h>
#include <windows.h>

#include <shlwapi.h>

#include <set>
#include <string>

#include "updater/NVPCUpdaterModule.h"
#include "updater/Registrar.h"

namespace
{
// A key of the test's own under HKCU, standing in for a root; removed afterwards.
struct TestRoot
{
    explicit TestRoot(const wchar_t* name)
        : path(std::wstring(L"Software\\NvpcRegistrarTest") + std::to_wstring(GetCurrentProcessId()) + L"\\" +
               name)
    {
        RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
    }
    ~TestRoot()
    {
        RegCloseKey(key);
        SHDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
    }
    std::wstring path;
    HKEY key = nullptr;
};

// Every key and value under key as "path|name|data" lines (keys alone as "path").
void Walk(HKEY key, const std::wstring& prefix, std::set<std::wstring>& out)
{
    wchar_t name[256], data[1024];
    for (DWORD i = 0;; ++i)
    {
        DWORD nameChars = 256, bytes = sizeof(data), type = 0;
        if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) !=
            ERROR_SUCCESS)
            break;
        out.insert(prefix + L"|" + name + L"|" + (type == REG_SZ ? data : L"?"));
    }
    for (DWORD i = 0;; ++i)
    {
        DWORD nameChars = 256;
        if (RegEnumKeyExW(key, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        std::wstring path = prefix.empty() ? name : prefix + L"\\" + name;
        out.insert(path);
        HKEY sub = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS)
        {
            Walk(sub, path, out);
            RegCloseKey(sub);
        }
    }
}

std::set<std::wstring> Contents(HKEY key)
{
    std::set<std::wstring> out;
    Walk(key, L"", out);
    return out;
}

const wchar_t kClass[] = L"CLSID\\{CD557F65-9851-450C-AFF2-5082E41A5C82}";
} // namespace

TEST(Registrar, TheControlsScriptWritesExactlyItsKeysAndUnregistrationLeavesTheClsidRoot)
{
    TestRoot classes(L"HKCR"), user(L"HKCU");
    CRegistrar registrar;
    registrar.SetRoots(classes.key, user.key);
    registrar.AddReplacement(L"MODULE", L"\"C:\\p q\\NVPCUpdater.exe\"");
    registrar.AddReplacement(L"MODULE_RAW", L"C:\\p q\\NVPCUpdater.exe");
    registrar.AddReplacement(L"OLEMISC", L"131473");
    registrar.AddReplacement(L"APPID", L"{105DBD35-8690-445A-8EE6-AC8961EB2AEC}");
    HMODULE self = GetModuleHandleW(nullptr);
    // Something that was there before stays, unless it is under the class's own key.
    RegSetKeyValueW(classes.key, L"CLSID\\{00000000-0000-0000-0000-000000000001}", nullptr, REG_SZ, L"x", 4);
    RegSetKeyValueW(classes.key, (std::wstring(kClass) + L"\\Stale").c_str(), nullptr, REG_SZ, L"x", 4);
    ASSERT_EQ(registrar.ResourceRegister(self, 101, true), S_OK);
    ASSERT_EQ(registrar.ResourceRegister(self, 107, true), S_OK);
    const std::wstring c = kClass;
    std::set<std::wstring> expected = {
        L"NVPCUpdater.NVPCLoader.16",
        L"NVPCUpdater.NVPCLoader.16||NVPCLoader Class",
        L"NVPCUpdater.NVPCLoader.16\\CLSID",
        L"NVPCUpdater.NVPCLoader.16\\CLSID||{CD557F65-9851-450C-AFF2-5082E41A5C82}",
        L"NVPCUpdater.NVPCLoader",
        L"NVPCUpdater.NVPCLoader||NVPCLoader Class",
        L"NVPCUpdater.NVPCLoader\\CurVer",
        L"NVPCUpdater.NVPCLoader\\CurVer||NVPCUpdater.NVPCLoader.16",
        L"CLSID",
        L"CLSID\\{00000000-0000-0000-0000-000000000001}",
        L"CLSID\\{00000000-0000-0000-0000-000000000001}||x",
        c,
        c + L"||NVPCLoader Class",
        c + L"\\ProgID",
        c + L"\\ProgID||NVPCUpdater.NVPCLoader.16",
        c + L"\\VersionIndependentProgID",
        c + L"\\VersionIndependentProgID||NVPCUpdater.NVPCLoader",
        c + L"\\Programmable",
        c + L"\\LocalServer32",
        c + L"\\LocalServer32||\"C:\\p q\\NVPCUpdater.exe\"",
        c + L"\\LocalServer32|ServerExecutable|C:\\p q\\NVPCUpdater.exe",
        c + L"\\Control",
        c + L"\\ToolboxBitmap32",
        c + L"\\ToolboxBitmap32||\"C:\\p q\\NVPCUpdater.exe\", 106",
        c + L"\\MiscStatus",
        c + L"\\MiscStatus||0",
        c + L"\\MiscStatus\\1",
        c + L"\\MiscStatus\\1||131473",
        c + L"\\TypeLib",
        c + L"\\TypeLib||{763B5762-15B6-4106-95B7-EF60176E4356}",
        c + L"\\Version",
        c + L"\\Version||1.0.2.9",
    };
    std::set<std::wstring> got = Contents(classes.key);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(Contents(user.key).empty());

    ASSERT_EQ(registrar.ResourceRegister(self, 107, false), S_OK);
    ASSERT_EQ(registrar.ResourceRegister(self, 101, false), S_OK);
    std::set<std::wstring> left = {L"CLSID", L"CLSID\\{00000000-0000-0000-0000-000000000001}",
                                   L"CLSID\\{00000000-0000-0000-0000-000000000001}||x"};
    EXPECT_EQ(Contents(classes.key), left);
}

TEST(Registrar, PerUserModeMovesTheClassesUnderTheUsersSoftwareClasses)
{
    const std::string script = "HKCR\r\n{\r\n\tA = s 'x'\r\n}\r\n";
    EXPECT_EQ(CRegistrar::MoveClassesToUser(script),
              "HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses\r\n{\r\n\tA = s 'x'\r\n}\r\n\t}\r\n}\r\n\r\n");
    TestRoot classes(L"HKCR"), user(L"HKCU");
    CRegistrar registrar;
    registrar.SetRoots(classes.key, user.key);
    registrar.SetPerUser(true);
    ASSERT_EQ(registrar.ApplyScript(script, true), S_OK);
    EXPECT_TRUE(Contents(classes.key).empty());
    std::set<std::wstring> expected = {L"Software", L"Software\\Classes", L"Software\\Classes\\A",
                                       L"Software\\Classes\\A||x"};
    EXPECT_EQ(Contents(user.key), expected);
    ASSERT_EQ(registrar.ApplyScript(script, false), S_OK);
    EXPECT_TRUE(Contents(user.key).empty()) << "emptied keys of the script go too";
}

TEST(Registrar, ABrokenScriptWritesNothing)
{
    const char* scripts[] = {
        "HKCR\r\n{\r\n\tA = s 'x'\r\n",          // unbalanced
        "HKCR\r\n{\r\n\tA = s '%UNKNOWN%'\r\n}", // no such replacement
        "HKCR\r\n{\r\n\tA = s 'open\r\n}",       // open quote
        "HKCR\r\n{\r\n\tA = d '5'\r\n}",         // not a string
        "HKXX\r\n{\r\n\tA = s 'x'\r\n}",         // unknown root
        "HKCR\r\n{\r\n\tval = s 'x'\r\n}",       // a value without a name
        "HKCR\r\n{\r\n\tA = s 'x'\r\n}\r\nHKZZ", // a broken second root
    };
    for (const char* script : scripts)
    {
        SCOPED_TRACE(script);
        TestRoot classes(L"HKCR"), user(L"HKCU");
        CRegistrar registrar;
        registrar.SetRoots(classes.key, user.key);
        EXPECT_EQ(registrar.ApplyScript(script, true), DISP_E_EXCEPTION);
        EXPECT_TRUE(Contents(classes.key).empty());
    }
}

TEST(ServerModule, TheFirstRecognisedSwitchWins)
{
    struct Case
    {
        const wchar_t* line;
        CNVPCUpdaterModule::Switch expected;
    } cases[] = {
        {L"/RegServer", CNVPCUpdaterModule::SWITCH_REGSERVER},
        {L"/regserver", CNVPCUpdaterModule::SWITCH_REGSERVER},
        {L"-RegServerPerUser", CNVPCUpdaterModule::SWITCH_REGSERVER_PER_USER},
        {L"-UnregServer", CNVPCUpdaterModule::SWITCH_UNREGSERVER},
        {L"/UNREGSERVERPERUSER", CNVPCUpdaterModule::SWITCH_UNREGSERVER_PER_USER},
        {L"-Embedding", CNVPCUpdaterModule::SWITCH_NONE},
        {L"text -Embedding /UnregServer /RegServer", CNVPCUpdaterModule::SWITCH_UNREGSERVER},
        {L"/RegServerNow", CNVPCUpdaterModule::SWITCH_NONE},
        {L"RegServer", CNVPCUpdaterModule::SWITCH_NONE},
        {L"", CNVPCUpdaterModule::SWITCH_NONE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CNVPCUpdaterModule::ParseSwitches(c.line), c.expected) << c.line;
}
