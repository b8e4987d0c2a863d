#pragma once
// The user-interface texts (identifiers 200..219 in ui/resource.h), in English,
// Japanese and Korean, taken in the calling thread's user-interface language.
#include <windows.h>
#include <string>

#include "ui/resource.h"

class CStringTable
{
  public:
    enum
    {
        kBufferChars = 1000 // longer texts are cut to kBufferChars - 1 characters
    };

    // The text of id from the running program's own resources, or "" when missing.
    static std::wstring Load(UINT id);
    // The text of id with "%s" replaced by title (identifiers 200, 209, 213, 216, 217).
    static std::wstring Format(UINT id, const wchar_t* title);

    // Sets the thread's user-interface language: SetThreadUILanguage, and when the
    // language it reports differs from the request, SetThreadLocale as well. The choice
    // is remembered for this thread, because some platforms report it back unchanged.
    // Returns the language the platform reported.
    static LANGID SetThreadLanguage(LANGID lang);
    // The language the next Load on this thread uses.
    static LANGID ThreadLanguage();
    // Forgets this thread's remembered choice (the platform's own choice applies again).
    static void ResetThreadLanguage();

    // Load with an explicit language, for callers that know it (and for tests).
    static std::wstring LoadIn(UINT id, LANGID lang);
};
