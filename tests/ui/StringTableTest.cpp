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
    EXPECT_EQ(
        CStringTable::LoadIn(213, kEnglish),
        L"It seems '%s' has been running already.\nIf not, it is probably still alive internally due to "
        L"abnormal close at the previous run.\nPlease check it through [Windows Task Manager].");
    EXPECT_EQ(
        CStringTable::LoadIn(214, kEnglish),
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

// The whole table: every text in every language, character for character (trailing blanks,
// line breaks, quotes and full-width punctuation included).
TEST(StringTable, EveryTextInEveryLanguage)
{
    struct
    {
        UINT id;
        const wchar_t* en;
        const wchar_t* ja;
        const wchar_t* ko;
    } texts[] = {
        {200, L"%s Updater", L"%s \u30a2\u30c3\u30d7\u30c7\u30fc\u30c8", L"%s \uc5c5\ub370\uc774\ud130"},
        {201, L"Checking for updates. Please wait....",
         L"\u30d7\u30ed\u30b0\u30e9\u30e0\u306e\u30a4\u30f3\u30b9\u30c8\u30fc\u30eb\u53ca\u3073\u5909\u66f4"
         L"\u60c5\u5831\u3092\u78ba\u8a8d\u4e2d\u3067\u3059\u3002\u3057\u3070\u3089\u304f\u304a\u5f85\u3061"
         L"\u304f\u3060\u3055\u3044\u3002",
         L"\ud504\ub85c\uadf8\ub7a8 \uc124\uce58/\uc5c5\uadf8\ub808\uc774\ub4dc \uc815\ubcf4\ub97c "
         L"\ud655\uc778 \uc911\uc785\ub2c8\ub2e4. \uc7a0\uc2dc\ub9cc \uae30\ub2e4\ub824 "
         L"\uc8fc\uc2ed\uc2dc\uc624."},
        {202, L"Checking installed programs. Please wait....",
         L"\u6700\u65b0\u306e\u66f4\u65b0\u30d7\u30ed\u30b0\u30e9\u30e0\u3092\u78ba\u8a8d\u3057\u3066\u3044"
         L"\u307e\u3059...",
         L"\uc124\uce58\uc815\ubcf4\ub97c \ud655\uc778 \uc911 \uc785\ub2c8\ub2e4. \uc7a0\uc2dc\ub9cc "
         L"\uae30\ub2e4\ub824 \uc8fc\uc2ed\uc2dc\uc624."},
        {203, L"Checking for new updates. Please wait....",
         L"\u5909\u66f4\u60c5\u5831\u3092\u78ba\u8a8d\u4e2d\u3067\u3059\u3002\u3057\u3070\u3089\u304f\u304a"
         L"\u5f85\u3061\u304f\u3060\u3055\u3044\u3002",
         L"\uc5c5\uadf8\ub808\uc774\ub4dc \uc815\ubcf4\ub97c \ud655\uc778 \uc911 \uc785\ub2c8\ub2e4. "
         L"\uc7a0\uc2dc\ub9cc \uae30\ub2e4\ub824 \uc8fc\uc2ed\uc2dc\uc624."},
        {204, L"Downloading files. Please wait....",
         L"\u30a4\u30f3\u30b9\u30c8\u30fc\u30eb\u30d5\u30a1\u30a4\u30eb\u3092\u30c0\u30a6\u30f3\u30ed\u30fc"
         L"\u30c9\u3057\u3066\u3044\u307e\u3059\u3002\u3057\u3070\u3089\u304f\u304a\u5f85\u3061\u304f\u3060"
         L"\u3055\u3044\u3002",
         L"\uc124\uce58\ud30c\uc77c\uc744 \ub2e4\uc6b4\ub85c\ub4dc \ud558\uace0 \uc788\uc2b5\ub2c8\ub2e4. "
         L"\uc7a0\uc2dc\ub9cc \uae30\ub2e4\ub824 \uc8fc\uc2ed\uc2dc\uc624."},
        {205, L"Downloading update files. Please wait....",
         L"\u5909\u66f4\u30d5\u30a1\u30a4\u30eb\u3092\u30c0\u30a6\u30f3\u30ed\u30fc\u30c9\u3057\u3066\u3044"
         L"\u307e\u3059\u3002\u3057\u3070\u3089\u304f\u304a\u5f85\u3061\u304f\u3060\u3055\u3044\u3002",
         L"\uc5c5\uadf8\ub808\uc774\ub4dc \ud30c\uc77c\uc744 \ub2e4\uc6b4\ub85c\ub4dc \ud558\uace0 "
         L"\uc788\uc2b5\ub2c8\ub2e4. \uc7a0\uc2dc\ub9cc \uae30\ub2e4\ub824 \uc8fc\uc2ed\uc2dc\uc624."},
        {206, L"The program will be installed as soon as the installer file is downloaded",
         L"\u30c0\u30a6\u30f3\u30ed\u30fc\u30c9\u3092\u5b8c\u4e86\u3057\u307e\u3057\u305f\u3002\u30d7\u30ed"
         L"\u30b0\u30e9\u30e0\u3092\u30a4\u30f3\u30b9\u30c8\u30fc\u30eb\u3057\u307e\u3059\u3002",
         L"\ub2e4\uc6b4\ub85c\ub4dc\ub97c \uc644\ub8cc\ud558\uc5ec \ud504\ub85c\uadf8\ub7a8\uc744 "
         L"\uc124\uce58\ud569\ub2c8\ub2e4."},
        {207, L"The files are being updated. Please wait....",
         L"\u5909\u66f4\u60c5\u5831\u306e\u78ba\u8a8d\u3092\u5b8c\u4e86\u3057\u307e\u3057\u305f\u3002\u30d7"
         L"\u30ed\u30b0\u30e9\u30e0\u3092\u66f4\u65b0\u3057\u307e\u3059\u3002\u3057\u3070\u3089\u304f\u304a"
         L"\u5f85\u3061\u304f\u3060\u3055\u3044\u3002",
         L"\uc5c5\uadf8\ub808\uc774\ub4dc \uc815\ubcf4 \uc218\uc9d1\uc744 \uc644\ub8cc\ud558\uc5ec "
         L"\ud504\ub85c\uadf8\ub7a8\uc744 \uc5c5\ub370\uc774\ud2b8 \ud569\ub2c8\ub2e4. \uc7a0\uc2dc\ub9cc "
         L"\uae30\ub2e4\ub824 \uc8fc\uc2ed\uc2dc\uc624."},
        {208, L"The program will be updated as soon as the update files are downloaded. Please wait....",
         L"\u30c0\u30a6\u30f3\u30ed\u30fc\u30c9\u3092\u5b8c\u4e86\u3057\u307e\u3057\u305f\u3002\u5909\u66f4"
         L"\u60c5\u5831\u3092\u78ba\u8a8d\u3057\u3066\u3044\u307e\u3059\u3002\u3057\u3070\u3089\u304f\u304a"
         L"\u5f85\u3061\u304f\u3060\u3055\u3044\u3002",
         L"\ub2e4\uc6b4\ub85c\ub4dc\ub97c \uc644\ub8cc\ud558\uc5ec \uc5c5\uadf8\ub808\uc774\ub4dc "
         L"\uc815\ubcf4\ub97c \uc218\uc9d1\uc911 \uc785\ub2c8\ub2e4. \uc7a0\uc2dc\ub9cc \uae30\ub2e4\ub824 "
         L"\uc8fc\uc2ed\uc2dc\uc624."},
        {209, L"Program installation and/or updates have been finished successfuly. ",
         L"\u66f4\u65b0\u3092\u5b8c\u4e86\u3057\u307e\u3057\u305f\u3002'%s'"
         L"\u3092\u5b9f\u884c\u3057\u307e\u3059\u3002",
         L"\uc5c5\uadf8\ub808\uc774\ub4dc\ub97c \uc644\ub8cc\ud558\uc5ec '%s'\ub97c "
         L"\uc2e4\ud589\ud569\ub2c8\ub2e4."},
        {210, L"Program installation and/or updates have been failed. ",
         L"\u30d7\u30ed\u30b0\u30e9\u30e0\u306e\u30a4\u30f3\u30b9\u30c8\u30fc\u30eb\u3082\u3057\u304f\u306f"
         L"\u66f4\u65b0\u306b\u5931\u6557\u3057\u307e\u3057\u305f\u3002",
         L"\ud504\ub85c\uadf8\ub7a8 \uc124\uce58 \ub610\ub294 \uc5c5\uadf8\ub808\uc774\ub4dc\ub97c "
         L"\uc2e4\ud328\ud588\uc2b5\ub2c8\ub2e4."},
        {211, L"It seems program has been running already.",
         L"\u65e2\u306b\u30a2\u30c3\u30d7\u30c7\u30fc\u30c8\u304c\u5b9f\u884c\u4e2d\u3067\u3059\u3002",
         L"\uc5c5\ub370\uc774\ud130\uac00 \uc774\ubbf8 \uc2e4\ud589 \uc911\uc785\ub2c8\ub2e4."},
        {212, L"Cancel", L"\u30ad\u30e3\u30f3\u30bb\u30eb", L"\ucde8\uc18c"},
        {213,
         L"It seems '%s' has been running already.\nIf not, it is probably still alive internally due to "
         L"abnormal close at the previous run.\nPlease check it through [Windows Task Manager].",
         L"\u65e2\u306b'%s'"
         L"\u304c\u5b9f\u884c\u4e2d\u3067\u3059\u3002\u3082\u3057\u304f\u306f\u6b63\u5e38\u7d42\u4e86\u3055"
         L"\u308c\u3066\u304a\u308a\u307e\u305b\u3093\u3002\n["
         L"\u30bf\u30b9\u30af\u30de\u30cd\u30b8\u30e3\u30fc]"
         L"\u304b\u3089\u78ba\u8a8d\u3057\u3066\u304f\u3060\u3055\u3044\u3002",
         L"'%s'\uac00 \uc774\ubbf8 \uc2e4\ud589 \uc911\uc774\uac70\ub098 \uc815\uc0c1 "
         L"\uc885\ub8cc\ub418\uc9c0 \uc54a\uc558\uc2b5\ub2c8\ub2e4.\n[\uc708\ub3c4\uc6b0\uc988 "
         L"\uc791\uc5c5\uad00\ub9ac\uc790]\ub97c \ud1b5\ud558\uc5ec \ud655\uc778\ud558\uc2dc\uae30 "
         L"\ubc14\ub78d\ub2c8\ub2e4."},
        {214,
         L"No response from upgrade server.\nIf you want to cancel, please press 'Cancel'. Click 'Try Again' "
         L"to try upgrading again.\nOtherwise, please click 'Continue' to proceed without upgrading.",
         L"\u66f4\u65b0\u30b5\u30fc\u30d0\u30fc\u304b\u3089\u306e\u5fdc\u7b54\u304c\u3042\u308a\u307e\u305b"
         L"\u3093\u3002\n\u5b9f\u884c\u3092\u30ad\u30e3\u30f3\u30bb\u30eb\u3059\u308b\u5834\u5408\u306f'"
         L"\u30ad\u30e3\u30f3\u30bb\u30eb'"
         L"\u30dc\u30bf\u30f3\u3092\u3001\u66f4\u65b0\u3092\u7d9a\u304f\u5834\u5408\u306f'"
         L"\u30ea\u30c8\u30e9\u30a4'"
         L"\u30dc\u30bf\u30f3\u3092\u3001\n\u5909\u66f4\u60c5\u5831\u3092\u78ba\u8a8d\u305b\u305a\u9032\u884c"
         L"\u3059\u308b\u5834\u5408\u306f'\u7d99\u7d9a'"
         L"\u30dc\u30bf\u30f3\u3092\u62bc\u3057\u3066\u304f\u3060\u3055\u3044\u3002",
         L"\uc5c5\uadf8\ub808\uc774\ub4dc \uc11c\ubc84\ub85c \ubd80\ud130 \uc751\ub2f5\uc774 "
         L"\uc5c6\uc2b5\ub2c8\ub2e4.\n\uc2e4\ud589\uc744 \uc911\uc9c0\ud558\ub824\uba74 '\ucde8\uc18c' "
         L"\ubc84\ud2bc\uc744, \uc5c5\ub370\uc774\ud2b8\ub97c \uacc4\uc18d \uc9c4\ud589\ud558\ub824\uba74 "
         L"'\ub2e4\uc2dc \uc2dc\ub3c4' \ubc84\ud2bc\uc744,\n\uc5c5\ub370\uc774\ud2b8\ub97c "
         L"\ud655\uc778\ud558\uc9c0 \uc54a\uace0 \uc9c4\ud589\ud558\ub824\uba74 '\uacc4\uc18d' "
         L"\ubc84\ud2bc\uc744 \ud074\ub9ad\ud558\uc5ec \uc8fc\uc2ed\uc2dc\uc624."},
        {215, L"Programs is not installed or can not be executed. Please check the installation program.",
         L"\u30d7\u30ed\u30b0\u30e9\u30e0\u304c\u30a4\u30f3\u30b9\u30c8\u30fc\u30eb\u3055\u308c\u3066\u3044"
         L"\u306a\u3044\u304b\u3001\u5b9f\u884c\u3059\u308b\u3053\u3068\u306f\u3067\u304d\u307e\u305b\u3093"
         L"\u3002\u30a4\u30f3\u30b9\u30c8\u30fc\u30eb\u30d7\u30ed\u30b0\u30e9\u30e0\u3092\u78ba\u8a8d\u3057"
         L"\u3066\u304f\u3060\u3055\u3044\u3002",
         L"\ud504\ub85c\uadf8\ub7a8\uc774 \uc124\uce58\ub418\uc5b4 \uc788\uc9c0 \uc54a\uac70\ub098 "
         L"\uc2e4\ud589\ud560 \uc218 \uc5c6\uc2b5\ub2c8\ub2e4. \ud504\ub85c\uadf8\ub7a8 \uc124\uce58\ub97c "
         L"\ud655\uc778\ud558\uc5ec \uc8fc\uc2ed\uc2dc\uc624."},
        {216, L"Program installation have been finished successfuly. ",
         L"\u30a4\u30f3\u30b9\u30c8\u30fc\u30eb\u3092\u5b8c\u4e86\u3057\u307e\u3057\u305f\u3002'%s'"
         L"\u3092\u5b9f\u884c\u3057\u307e\u3059\u3002",
         L"\uc124\uce58\ub97c \uc644\ub8cc\ud558\uc5ec '%s'\ub97c \uc2e4\ud589\ud569\ub2c8\ub2e4."},
        {217, L"%s Setup", L"%s", L"%s Setup"},
        {218, L"Proxy Settings", L"\u30d7\u30ed\u30ad\u30b7\u306e\u8a2d\u5b9a",
         L"\ud504\ub85d\uc2dc \uc124\uc815"},
        {219,
         L"Launcher has been upgraded. Do you want to continue the upgrade?\n(If you have not upgraded to "
         L"the new version, you may encounter problems.)",
         L"\u30e9\u30f3\u30c1\u30e3\u30fc\u304c\u30a2\u30c3\u30d7\u30b0\u30ec\u30fc\u30c9\u3055\u308c\u307e"
         L"\u3057\u305f\u3002\u30a2\u30c3\u30d7\u30b0\u30ec\u30fc\u30c9\u3092\u7d9a\u884c\u3057\u307e\u3059"
         L"\u304b\uff1f\n("
         L"\u65b0\u3057\u3044\u30d0\u30fc\u30b8\u30e7\u30f3\u306b\u30a2\u30c3\u30d7\u30b0\u30ec\u30fc\u30c9"
         L"\u3057\u3066\u3044\u306a\u3044\u5834\u5408\u306f\u3001\u554f\u984c\u304c\u767a\u751f\u3059\u308b"
         L"\u3053\u3068\u304c\u3042\u308a\u307e\u3059\u3002)",
         L"\ub7f0\ucc98\uac00 \uc5c5\uadf8\ub808\uc774\ub4dc \ub418\uc5c8\uc2b5\ub2c8\ub2e4. "
         L"\uc5c5\uadf8\ub808\uc774\ub4dc\ub97c \uc9c4\ud589 "
         L"\ud558\uc2dc\uaca0\uc2b5\ub2c8\uae4c?\n(\uc0c8\ub85c\uc6b4 \ubc84\uc804\uc73c\ub85c "
         L"\uc5c5\uadf8\ub808\uc774\ub4dc \ud558\uc9c0\uc54a\uc73c\uba74 \ubb38\uc81c\uac00 "
         L"\ubc1c\uc0dd\ud560 \uc218 \uc788\uc2b5\ub2c8\ub2e4.)"},
    };
    ASSERT_EQ(ARRAYSIZE(texts), (size_t)(IDS_LAST - IDS_FIRST + 1));
    for (const auto& t : texts)
    {
        EXPECT_EQ(CStringTable::LoadIn(t.id, kEnglish), t.en) << t.id;
        EXPECT_EQ(CStringTable::LoadIn(t.id, kJapanese), t.ja) << t.id;
        EXPECT_EQ(CStringTable::LoadIn(t.id, kKorean), t.ko) << t.id;
    }
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
    std::wstring ja = OnThread(
        []
        {
            CStringTable::SetThreadLanguage(0x0411);
            return CStringTable::Load(IDS_CANCEL);
        });
    EXPECT_EQ(ja, L"\u30ad\u30e3\u30f3\u30bb\u30eb");
    std::wstring ko = OnThread(
        []
        {
            CStringTable::SetThreadLanguage(18 | 0x0400);
            return CStringTable::Format(IDS_UPDATER_CAPTION, L"Norvane");
        });
    EXPECT_EQ(ko, L"Norvane \uc5c5\ub370\uc774\ud130");
    std::wstring en = OnThread(
        []
        {
            CStringTable::SetThreadLanguage(9 | 0x0400);
            return CStringTable::Load(IDS_CANCEL);
        });
    EXPECT_EQ(en, L"Cancel");

    LANGID mine = CStringTable::ThreadLanguage();
    OnThread(
        []
        {
            CStringTable::SetThreadLanguage(0x0411);
            return std::wstring();
        });
    EXPECT_EQ(CStringTable::ThreadLanguage(), mine) << "another thread's choice does not leak";
}

TEST(StringTable, FormatReplacesTheTitleLiterally)
{
    std::wstring ja = OnThread(
        []
        {
            CStringTable::SetThreadLanguage(0x0411);
            return CStringTable::Format(IDS_SETUP_CAPTION, L"Norvane");
        });
    EXPECT_EQ(ja, L"Norvane") << "the Japanese setup window title is the product title alone";
    std::wstring en = OnThread(
        []
        {
            CStringTable::SetThreadLanguage(0x0409);
            return CStringTable::Format(IDS_FINISHED, L"100% %s") + L"|" +
                   CStringTable::Format(IDS_SETUP_CAPTION, nullptr);
        });
    EXPECT_EQ(en, L"Program installation and/or updates have been finished successfuly. | Setup");
    std::wstring ko = OnThread(
        []
        {
            CStringTable::SetThreadLanguage(0x0412);
            return CStringTable::Format(IDS_FINISHED, L"100% %s");
        });
    EXPECT_EQ(ko, L"\uc5c5\uadf8\ub808\uc774\ub4dc\ub97c \uc644\ub8cc\ud558\uc5ec '100% %s'\ub97c "
                  L"\uc2e4\ud589\ud569\ub2c8\ub2e4.");
}
