// The string table: texts as the resources hold them, and the language choice per thread
// and per process.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/TestSupport.h"
#include "ui/StringTable.h"

namespace
{
const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const LANGID kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
const LANGID kKorean = MAKELANGID(LANG_KOREAN, SUBLANG_KOREAN);

// Runs fn on a fresh thread (whose language choice starts empty) and returns its result.
template <typename Fn> std::wstring OnThread(Fn fn)
{
    std::wstring result;
    std::thread t([&] { result = fn(); });
    t.join();
    return result;
}

// "strings OUT": writes strings 212 and 217 (formatted) in this process's own language to OUT.
// The end-to-end tests start it with different user locales.
int ChildScenario(int argc, char** argv)
{
    if (argc < 2 || strcmp(argv[0], "strings") != 0)
        return 2;
    std::wstring text = CStringTable::Load(IDS_CANCEL) + L"|" + CStringTable::Format(IDS_SETUP_CAPTION, L"T");
    return WriteBytes(Utf8ToWideString(argv[1]), WideToUtf8(text)) ? 0 : 3;
}
ChildScenarioRegistrar g_registrar(ChildScenario);
} // namespace

TEST(StringTable, EnglishTextsKeepTrailingBlanksAndLineBreaks)
{
    EXPECT_EQ(CStringTable::LoadIn(200, kEnglish), L"%s Updater");
    EXPECT_EQ(CStringTable::LoadIn(201, kEnglish), L"Checking for updates. Please wait....");
    EXPECT_EQ(CStringTable::LoadIn(209, kEnglish),
              L"Program installation and/or updates have been finished successfuly. ");
    EXPECT_EQ(CStringTable::LoadIn(210, kEnglish), L"Program installation and/or updates have been failed. ");
    EXPECT_EQ(CStringTable::LoadIn(216, kEnglish), L"Program installation have been finished successfuly. ");
    EXPECT_EQ(CStringTable::LoadIn(213, kEnglish),
              L"It seems '%s' has been running already.\nIf not, it is probably still alive internally due to "
              L"abnormal close at the previous run.\nPlease check it through [Windows Task Manager].");
    EXPECT_EQ(CStringTable::LoadIn(214, kEnglish),
              L"No response from upgrade server.\nIf you want to cancel, please press 'Cancel'. Click 'Try Again' "
              L"to try upgrading again.\nOtherwise, please click 'Continue' to proceed without upgrading.");
    EXPECT_EQ(CStringTable::LoadIn(218, kEnglish), L"Proxy Settings");
}

TEST(StringTable, JapaneseAndKoreanTexts)
{
    EXPECT_EQ(CStringTable::LoadIn(212, kJapanese), L"\u30ad\u30e3\u30f3\u30bb\u30eb");
    EXPECT_EQ(CStringTable::LoadIn(212, kKorean), L"\ucde8\uc18c");
    EXPECT_EQ(CStringTable::LoadIn(217, kJapanese), L"%s") << "no product word in the Japanese setup title";
    EXPECT_EQ(CStringTable::LoadIn(217, kKorean), L"%s Setup");
    EXPECT_EQ(CStringTable::LoadIn(218, kKorean), L"\ud504\ub85d\uc2dc \uc124\uc815");
    std::wstring ja219 = CStringTable::LoadIn(219, kJapanese);
    EXPECT_NE(ja219.find(L"\uff1f\n("), std::wstring::npos) << "full-width question mark, then a line break";
    std::wstring ko213 = CStringTable::LoadIn(213, kKorean);
    EXPECT_EQ(ko213.substr(0, 4), L"'%s'");
    EXPECT_NE(ko213.find(L"\n["), std::wstring::npos);
}

TEST(StringTable, EveryIdentifierExistsInEveryLanguageAndDiffers)
{
    for (UINT id = IDS_FIRST; id <= IDS_LAST; ++id)
    {
        std::wstring en = CStringTable::LoadIn(id, kEnglish);
        std::wstring ja = CStringTable::LoadIn(id, kJapanese);
        std::wstring ko = CStringTable::LoadIn(id, kKorean);
        EXPECT_FALSE(en.empty()) << id;
        EXPECT_FALSE(ja.empty()) << id;
        EXPECT_FALSE(ko.empty()) << id;
        if (id != IDS_SETUP_CAPTION) // Korean keeps the English setup title
        {
            EXPECT_NE(en, ko) << id;
        }
        EXPECT_NE(en, ja) << id;
        EXPECT_NE(ja, ko) << id;
    }
    EXPECT_EQ(CStringTable::LoadIn(199, kEnglish), L"");
    EXPECT_EQ(CStringTable::LoadIn(220, kJapanese), L"");
}

TEST(StringTable, OtherLanguagesFallBackToEnglish)
{
    EXPECT_EQ(CStringTable::LoadIn(212, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)), L"Cancel");
    EXPECT_EQ(CStringTable::LoadIn(212, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK)), L"Cancel");
    EXPECT_EQ(CStringTable::LoadIn(212, MAKELANGID(LANG_KOREAN, SUBLANG_NEUTRAL)), L"\ucde8\uc18c");
}

// The language set on a thread is the one its texts come in; other threads keep theirs.
TEST(StringTable, ThreadLanguageChoosesTheTexts)
{
    std::wstring ja = OnThread([] {
        CStringTable::SetThreadLanguage(0x0411);
        return CStringTable::Load(IDS_CANCEL);
    });
    EXPECT_EQ(ja, L"\u30ad\u30e3\u30f3\u30bb\u30eb");
    std::wstring ko = OnThread([] {
        CStringTable::SetThreadLanguage(18 | 0x0400);
        return CStringTable::Format(IDS_UPDATER_CAPTION, L"Norvane");
    });
    EXPECT_EQ(ko, L"Norvane \uc5c5\ub370\uc774\ud130");
    std::wstring en = OnThread([] {
        CStringTable::SetThreadLanguage(9 | 0x0400);
        return CStringTable::Load(IDS_CANCEL);
    });
    EXPECT_EQ(en, L"Cancel");

    LANGID mine = CStringTable::ThreadLanguage();
    OnThread([] {
        CStringTable::SetThreadLanguage(0x0411);
        return std::wstring();
    });
    EXPECT_EQ(CStringTable::ThreadLanguage(), mine) << "another thread's choice does not leak";
}

TEST(StringTable, FormatReplacesTheTitleLiterally)
{
    std::wstring ja = OnThread([] {
        CStringTable::SetThreadLanguage(0x0411);
        return CStringTable::Format(IDS_SETUP_CAPTION, L"Norvane");
    });
    EXPECT_EQ(ja, L"Norvane") << "the Japanese setup window title is the product title alone";
    std::wstring en = OnThread([] {
        CStringTable::SetThreadLanguage(0x0409);
        return CStringTable::Format(IDS_FINISHED, L"100% %s") + L"|" + CStringTable::Format(IDS_SETUP_CAPTION, nullptr);
    });
    EXPECT_EQ(en, L"Program installation and/or updates have been finished successfuly. | Setup");
    std::wstring ko = OnThread([] {
        CStringTable::SetThreadLanguage(0x0412);
        return CStringTable::Format(IDS_FINISHED, L"100% %s");
    });
    EXPECT_EQ(ko, L"\uc5c5\uadf8\ub808\uc774\ub4dc\ub97c \uc644\ub8cc\ud558\uc5ec '100% %s'\ub97c "
                  L"\uc2e4\ud589\ud569\ub2c8\ub2e4.");
}
