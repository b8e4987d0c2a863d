#pragma once
// CUriParser: decodes a "norvane:" launch link into the parameter record. The link's
// query is normally one Base64 text of the UTF-8 query "KEY=VALUE&KEY=VALUE..."; a second
// form puts plain "VER=" and "UDU=" segments in front of the Base64 text. Unknown keys
// become "/KEY:VALUE" switches in Option, which the client's command line carries.
//
// Also reads ".nvpc" link files and checks a link's validity window.
#include <windows.h>
#include <string>

#include "params/Param.h"

class CUriParser
{
  public:
    enum
    {
        kMaxLinkFileBytes = 4095, // first line of a link file
        kMaxDecodedChars = 8191,  // the decoded query
        kMaxValueChars = 4095,    // a percent-decoded value
        kLinkSlackSeconds = 60,   // a link file must be written this close to the issue time
    };

    explicit CUriParser(const wchar_t* link);
    virtual ~CUriParser();
    CUriParser(const CUriParser&) = delete;
    CUriParser& operator=(const CUriParser&) = delete;

    // 1 when the link text holds the scheme prefix "norvane:" (case-sensitive), else 0.
    int IsValid() const { return m_isValid; }
    const std::wstring& GetLink() const { return m_link; }

    // Writes every value of the link into param; each known key is logged with its value.
    // A link is applied whole or not at all: when a setter refuses a value for what it
    // holds (a path as a name, a quote that would break the client's command line), the
    // whole link is refused, logged, and param is left exactly as it was. A value refused
    // only for its length leaves just its field unchanged. Returns false when the link was
    // refused; true otherwise, also when it is not valid or has no query (nothing to apply:
    // param unchanged, and the callers' checks of the record decide as before).
    bool Parse(CParam* param) const;

    // The first line of a link file (at most 4095 bytes, UTF-8) enclosed in double quotes,
    // or "" when the file cannot be opened for reading and writing or is no disk file.
    static std::wstring ReadLinkFile(const wchar_t* path);

    // True (accept) when the link may run: both authorisation times are set, and for a
    // link file (path not null) with a time check, the file was written within a minute of
    // LocalAuthTime and the validity period after LocalAuthTime has not run out at now
    // (seconds since 1970-01-01 UTC). The first form uses the current time.
    static bool CheckLinkFileTime(const wchar_t* path, const CParam& param);
    static bool CheckLinkFileTime(const wchar_t* path, const CParam& param, LONGLONG now);

    // Seconds since 1970-01-01 UTC of a file time, and of the current time.
    static LONGLONG FileTimeToUnixSeconds(const FILETIME& time);
    static LONGLONG CurrentUnixSeconds();

  private:
    struct ParseState;
    void ParsePass(const std::wstring& text, bool passThroughMode, ParseState& state, CParam* param) const;

    int m_isValid;
    std::wstring m_link;
};
