#pragma once
// Conversions between the system's own UTF-16 text and the 8-bit text of the servers,
// manifests, proxy handshake and launch links, plus the percent-encoding of link values
// and download URLs.
#include <cstddef>
#include <string>

// UTF-16 to the thread's ANSI code page (CP_THREAD_ACP). The result lives in storage of
// the calling thread and stays valid until this thread calls ToNarrow again; copy it
// before converting once more. Null gives "". Never returns null.
const char* ToNarrow(const wchar_t* text);

// The thread's ANSI code page to UTF-16, with the same lifetime rule as ToNarrow (its own
// per-thread storage). Null gives L"". Never returns null.
const wchar_t* ToWide(const char* text);

// By value, for our own code: nothing to copy before the next conversion.
// UTF-16 to and from the thread's ANSI code page (server texts, manifests).
std::string NarrowText(const wchar_t* text);
std::wstring WideText(const char* text);
// A path for the *A file functions (minizip, tinyxml2) and back: the code page those
// functions read (ANSI, or OEM after SetFileApisToOEM), not the thread's, which changes
// with SetThreadLocale. A check on the wide form then sees the path the *A call opens.
std::string PathToFileApi(const wchar_t* path);
std::wstring FileApiToWide(const char* text);
// UTF-16 to UTF-8 (link texts). Null gives "".
std::string WideToUtf8(const wchar_t* text);

// Converts zero-terminated UTF-8 into buffer, which holds bufferChars characters
// (terminating zero included). Never writes past the buffer and always terminates it when
// bufferChars > 0. A text that does not fit is cut after the last whole character that
// fits (a surrogate pair is never split) and the result is false. Null gives "" and true.
// Every invalid byte sequence becomes one U+FFFD per maximal invalid subpart, so the
// result does not depend on the platform's converter. When written is given it receives
// the number of characters stored (terminator not counted).
bool Utf8ToWide(const char* utf8, wchar_t* buffer, size_t bufferChars, size_t* written = nullptr);

// "%" followed by two hexadecimal digits (either case) becomes the byte they spell; every
// other byte, "+" included, is copied. A "%" without two digits after it stays as it is.
std::string PercentDecode(const std::string& text);

// "/", "_", digits and ASCII letters are copied; every other byte becomes "%XX" with two
// upper-case hexadecimal digits.
std::string PercentEncode(const std::string& text);
