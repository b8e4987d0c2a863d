// The one-of-each helpers every layer shares: the bounded field copy and the module
// lookups.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/BoundedCopy.h"
#include "common/Module.h"

TEST(CopyBounded, RefusesWhatDoesNotFitAndKeepsTheField)
{
    struct Case
    {
        const char* value;
        bool accepted;
    } cases[] = {
        {nullptr, true}, {"", true}, {"abc", true}, {"abcd", true}, {"abcde", false}, {"abcdefgh", false},
    };
    for (const Case& c : cases)
    {
        char narrow[5] = "keep";
        wchar_t wide[5] = L"keep";
        std::wstring wideValue;
        if (c.value)
            wideValue.assign(c.value, c.value + strlen(c.value));
        EXPECT_EQ(CopyBounded(narrow, c.value), c.accepted) << (c.value ? c.value : "(null)");
        EXPECT_EQ(CopyBounded(wide, c.value ? wideValue.c_str() : nullptr), c.accepted);
        EXPECT_STREQ(narrow, c.accepted ? (c.value ? c.value : "") : "keep");
        EXPECT_STREQ(wide, c.accepted ? wideValue.c_str() : L"keep");
    }
    char none[1] = {'x'};
    EXPECT_FALSE(CopyBounded<char>(none, 0, "")) << "a field without room takes nothing";
    EXPECT_EQ(none[0], 'x');
}

TEST(Module, PathsAndOwners)
{
    std::wstring path = ModulePath();
    ASSERT_GT(path.size(), 4u);
    EXPECT_EQ(_wcsicmp(path.c_str() + path.size() - 4, L".exe"), 0);
    std::wstring folder = ModuleFolder();
    EXPECT_EQ(path.compare(0, folder.size() + 1, folder + L"\\"), 0);
    EXPECT_EQ(path.find(L'\\', folder.size() + 1), std::wstring::npos);

    EXPECT_EQ(ThisModule(), GetModuleHandleW(nullptr)) << "this code is linked into the program";
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    EXPECT_EQ(ModuleOfAddress(reinterpret_cast<const void*>(GetProcAddress(kernel, "GetTickCount"))), kernel);
    int onTheStack = 0;
    EXPECT_EQ(ModuleOfAddress(&onTheStack), nullptr);
    EXPECT_EQ(ModulePath(reinterpret_cast<HMODULE>(&onTheStack)), L"") << "not a module: no path";
}
