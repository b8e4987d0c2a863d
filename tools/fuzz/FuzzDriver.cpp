// nvpc_fuzz: feeds a batch of inputs to one parser of the product, in-process, for
// tools/fuzz/fuzz.py.
//
//   nvpc_fuzz TARGET BATCH [FIRST COUNT]
//   nvpc_fuzz hold FILE SECONDS    opens FILE without sharing, prints "held", keeps it
//                                  open that long (a locked file for tools/fuzz/faults.py)
//
// TARGET: link, linkfile, packet, base64, manifest, zipname (selfcheck: the runner's own). BATCH: "NVFZ"
// followed by records of a 32-bit little-endian length and that many bytes; FIRST and COUNT pick a slice of
// it (the runner bisects with them).
//
// Each input is copied to the very end of a readable page that is followed by a page
// without access, so a read past its end faults, and guard bytes lie before it and around
// the fixed-size buffers the parsers write into; the guards are checked after each parse.
// A fault ends the process with "crash INDEX CODE" on stderr. Guard damage and broken
// invariants are printed as "guard INDEX WHAT" / "invariant INDEX WHAT" on stdout; the
// last line is "done COUNT" (exit 0) or the exit code is 2 for a wrong command line.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Base64Coder.h"
#include "common/TextConv.h"
#include "install/PathSafety.h"
#include "install/UnzipMove.h"
#include "install/Unzipper.h"
#include "net/Packet.h"
#include "net/PktParser.h"
#include "params/Param.h"
#include "params/UriParser.h"
#include "ui/VersionCheck.h"

namespace
{
const unsigned char kGuard = 0xA5;
const size_t kGuardBytes = 64;
const size_t kMaxInput = 1 << 20;

volatile LONG g_current = -1; // index of the input being parsed, for the crash report

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info)
{
    char line[96];
    int n = _snprintf(line, sizeof(line) - 1, "crash %ld 0x%08lX\n", (long)g_current,
                      (unsigned long)info->ExceptionRecord->ExceptionCode);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, n > 0 ? (DWORD)n : 0, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Faults that no handler of ours should ever see; C++ exceptions go their own way.
LONG WINAPI OnFault(EXCEPTION_POINTERS* info)
{
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_STACK_OVERFLOW ||
        code == EXCEPTION_INT_DIVIDE_BY_ZERO || code == EXCEPTION_ILLEGAL_INSTRUCTION ||
        code == EXCEPTION_ARRAY_BOUNDS_EXCEEDED || code == 0xC0000409 /* stack buffer overrun */)
        return OnCrash(info);
    return EXCEPTION_CONTINUE_SEARCH;
}

// A region whose usable part ends right at a page without access, with guard bytes in
// front of the part handed out.
class EdgeBuffer
{
  public:
    explicit EdgeBuffer(size_t capacity)
    {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        m_page = si.dwPageSize;
        m_usable = ((capacity + kGuardBytes + m_page - 1) / m_page) * m_page;
        m_base = static_cast<unsigned char*>(
            VirtualAlloc(nullptr, m_usable + m_page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (m_base)
            VirtualProtect(m_base + m_usable, m_page, PAGE_NOACCESS, &old);
    }
    ~EdgeBuffer()
    {
        if (m_base)
            VirtualFree(m_base, 0, MEM_RELEASE);
    }
    bool ok() const { return m_base != nullptr; }

    // size bytes that end at the no-access page, guard bytes before them.
    unsigned char* Place(const void* data, size_t size)
    {
        unsigned char* at = m_base + m_usable - size;
        memset(at - kGuardBytes, kGuard, kGuardBytes);
        if (data && size)
            memcpy(at, data, size);
        else if (size)
            memset(at, 0, size);
        m_at = at;
        m_size = size;
        Seal();
        return at;
    }
    // Takes what the placed bytes hold now as the input (after the caller filled them).
    void Seal() { m_copy.assign(m_at, m_at + m_size); }
    // The guard bytes are intact and the input was not written to (parsers take it const).
    bool Intact() const
    {
        for (size_t i = 1; i <= kGuardBytes; ++i)
            if (m_at[-(ptrdiff_t)i] != kGuard)
                return false;
        return m_size == 0 || memcmp(m_at, m_copy.data(), m_size) == 0;
    }

  private:
    size_t m_page = 4096;
    size_t m_usable = 0;
    unsigned char* m_base = nullptr;
    unsigned char* m_at = nullptr;
    size_t m_size = 0;
    std::vector<unsigned char> m_copy;
};

// A fixed-size text the parser writes into, with guard bytes on both sides.
template <size_t N> struct Guarded
{
    unsigned char before[kGuardBytes];
    char text[N];
    unsigned char after[kGuardBytes];
    void Arm()
    {
        memset(before, kGuard, sizeof(before));
        memset(after, kGuard, sizeof(after));
        memset(text, 0, sizeof(text));
    }
    bool Intact() const
    {
        for (size_t i = 0; i < kGuardBytes; ++i)
            if (before[i] != kGuard || after[i] != kGuard)
                return false;
        return memchr(text, 0, N) != nullptr;
    }
};

struct Report
{
    long index = 0;
    void Guard(const char* what) { printf("guard %ld %s\n", index, what); }
    void Invariant(const char* what) { printf("invariant %ld %s\n", index, what); }
};

std::wstring FromUtf8Bytes(const unsigned char* data, size_t size)
{
    if (!size)
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data), (int)size, nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data), (int)size, &out[0], n);
    return out;
}

// What a parsed record must never hold, whatever the link said: a value that would end
// its quotes on the client's command line, or a client file name that is a path.
void CheckRecord(const CParam& param, Report& report)
{
    const wchar_t* name = param.GetFileName();
    if (name && *name && !IsPlainFileName(name))
        report.Invariant("client file name is no plain name");
    // The values the client's command line encloses in quotes, and the one it does not.
    const wchar_t* quoted[] = {param.GetProductID(), param.GetCompanyCode(), param.GetTitle(),
                               param.GetGroup(),     param.GetRegistURL(),   param.GetUserID(),
                               param.GetAlias(),     param.GetMeeterID(),    param.GetRoomName()};
    for (const wchar_t* value : quoted)
    {
        size_t length = wcslen(value);
        if (wcschr(value, L'"') || (length && value[length - 1] == L'\\'))
            report.Invariant("a quoted value can end its quotes");
    }
    for (const wchar_t* p = param.GetServerIP(); *p; ++p)
        if (*p == L' ' || *p == L'"' || *p < 0x20)
            report.Invariant("ServerIP breaks the command line");
    for (const wchar_t* name : {param.GetProductID(), param.GetGroup()})
        if (*name && !IsPlainFileName(name))
            report.Invariant("a path part is no plain name");
    std::wstring line;
    param.BuildCommandLine(line);
    if (line.find(L'\0') != std::wstring::npos)
        report.Invariant("command line holds a zero");
}

// ---------------------------------------------------------------- the targets

struct Context
{
    EdgeBuffer edge{kMaxInput * sizeof(wchar_t) + 64};
    std::wstring scratch; // a folder of this process's own
    Report report;
};

void FuzzLink(Context& c, const unsigned char* data, size_t size)
{
    std::wstring text = FromUtf8Bytes(data, size);
    wchar_t* link =
        reinterpret_cast<wchar_t*>(c.edge.Place(text.c_str(), (text.size() + 1) * sizeof(wchar_t)));
    CParam param;
    CUriParser parser(link);
    parser.Parse(&param);
    CUriParser::CheckLinkFileTime(nullptr, param, 1700000000);
    if (!c.edge.Intact())
        c.report.Guard("link text");
    CheckRecord(param, c.report);
}

void FuzzLinkFile(Context& c, const unsigned char* data, size_t size)
{
    std::wstring path = c.scratch + L"link.nvpc";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        c.report.Invariant("cannot write the link file");
        return;
    }
    DWORD written = 0;
    WriteFile(file, data, (DWORD)size, &written, nullptr);
    CloseHandle(file);
    std::wstring text = CUriParser::ReadLinkFile(path.c_str());
    if (text.size() < 2 || text.front() != L'"' || text.back() != L'"')
        c.report.Invariant("link file text is not quoted");
    wchar_t* link =
        reinterpret_cast<wchar_t*>(c.edge.Place(text.c_str(), (text.size() + 1) * sizeof(wchar_t)));
    CParam param;
    CUriParser parser(link);
    parser.Parse(&param);
    CUriParser::CheckLinkFileTime(path.c_str(), param, 1700000000);
    if (!c.edge.Intact())
        c.report.Guard("link file text");
    CheckRecord(param, c.report);
}

// A reply as the receive thread hands it over (header and body in a zeroed packet buffer,
// whatever DataLength claims), then every use the server handler makes of a reply body.
void FuzzPacket(Context& c, const unsigned char* data, size_t size)
{
    unsigned char* raw = c.edge.Place(nullptr, sizeof(Packet));
    Packet* reply = reinterpret_cast<Packet*>(raw);
    reply->Clear();
    memcpy(raw, data, size < sizeof(Packet) ? size : sizeof(Packet));
    c.edge.Seal();
    // The body bytes alone, at the page edge: the field parser must stop at count.
    std::string bodyText = reply->BodyText();
    if (bodyText.size() > PACKET_BODY_CAPACITY)
        c.report.Invariant("BodyText longer than the body");
    CParam param;
    if (reply->HasValidLength())
    {
        size_t length = reply->header.DataLength;
        CPktParserA parser;
        parser.Parse(reply->body, length);
        for (size_t i = 0; i < parser.GetCount(); ++i)
            if (strlen(parser.GetField(i)) > CPktParserA::kMaxFieldUnits)
                c.report.Invariant("field longer than its limit");
        if (parser.GetCount() && parser.GetField(parser.GetCount()) != nullptr)
            c.report.Invariant("field past the end");
        if (const char* first = parser.GetField(0))
        {
            std::wstring ip = WideText(first);
            if (ip.size() > CParam::kServerIPChars - 1)
                ip.resize(CParam::kServerIPChars - 1);
            param.SetServerIP(ip.c_str());
        }
        std::wstring url = WideText(bodyText.c_str());
        param.SetSetupURL(url.c_str());
        param.SetPatchURL(url.c_str());
    }
    if (!c.edge.Intact())
        c.report.Guard("reply packet");
    // The same bytes as a body of exact size.
    const unsigned char* body = c.edge.Place(data, size);
    CPktParserA parser;
    parser.Parse(reinterpret_cast<const char*>(body), size);
    if (!c.edge.Intact())
        c.report.Guard("reply body");
    CheckRecord(param, c.report);
}

void FuzzBase64(Context& c, const unsigned char* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(c.edge.Place(data, size));
    Base64Coder coder;
    coder.Decode(text, size);
    if (coder.DecodedData()[coder.DecodedLength()] != 0)
        c.report.Invariant("decoded data not terminated");
    if (!c.edge.Intact())
        c.report.Guard("base64 text");
    // Round trip: what is encoded decodes to the same bytes.
    Base64Coder round;
    round.Encode(c.edge.Place(data, size), size);
    std::string encoded(round.EncodedText(), round.EncodedLength());
    if (!c.edge.Intact())
        c.report.Guard("base64 data");
    Base64Coder back;
    back.Decode(encoded.c_str(), encoded.size());
    // A padded group decodes to three bytes, the padding to zeros.
    const char* decoded = back.DecodedData();
    bool same = back.DecodedLength() == (size + 2) / 3 * 3 && (!size || memcmp(decoded, data, size) == 0);
    for (size_t i = size; same && i < back.DecodedLength(); ++i)
        same = decoded[i] == 0;
    if (!same)
        c.report.Invariant("round trip changed the data");
    // A zero-terminated text (the link decoder's form).
    std::string terminated(reinterpret_cast<const char*>(data), size);
    const char* z = reinterpret_cast<const char*>(c.edge.Place(terminated.c_str(), terminated.size() + 1));
    Base64Coder plain;
    plain.Decode(z);
    if (!c.edge.Intact())
        c.report.Guard("base64 terminated text");
}

bool WriteAll(const std::wstring& path, const unsigned char* data, size_t size)
{
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, data, (DWORD)size, &written, nullptr);
    CloseHandle(file);
    return ok && written == size;
}

// A manifest as the file placement and the version check read it.
void FuzzManifest(Context& c, const unsigned char* data, size_t size)
{
    std::wstring unpack = c.scratch + L"pkg\\";
    if (!WriteAll(unpack + L"master_1.xml", data, size))
    {
        c.report.Invariant("cannot write the manifest");
        return;
    }
    CUnzipMove move;
    std::wstring args = L"/DNP \"" + c.scratch + L"pkg.zip\" /MML \"master_1\" /PML \"PROD\" /SEP \"" +
                        c.scratch + L"install\"";
    if (!move.ParseArgs(args.c_str()))
    {
        c.report.Invariant("placement arguments refused");
        return;
    }
    move.parseXMLFile(L"master_1");
    for (const UnzipMoveEntry& e : move.GetEntries())
    {
        if (!wmemchr(e.name, 0, CUnzipMove::kNameChars) || !wmemchr(e.ipath, 0, CUnzipMove::kIpathChars))
            c.report.Invariant("entry text not terminated");
        else if (!IsSafeRelativePath(e.name, false) || !IsSafeRelativePath(e.ipath, true))
            c.report.Invariant("entry leaves its folder");
    }
    CParam param;
    CVersionCheck check(&param, L"CNVPCUpdaterDlg");
    static Guarded<CVersionCheck::kVersionBytes> master, product;
    master.Arm();
    product.Arm();
    check.getXMLVersion(unpack.c_str(), L"master_1",
                        reinterpret_cast<char(&)[CVersionCheck::kVersionBytes]>(master.text), L"master_1",
                        reinterpret_cast<char(&)[CVersionCheck::kVersionBytes]>(product.text));
    if (!master.Intact() || !product.Intact())
        c.report.Guard("version text");
}

// An archive entry name as the unzipper checks it, and the same name as the file placement
// normalizes it.
void FuzzZipName(Context& c, const unsigned char* data, size_t size)
{
    std::string name(reinterpret_cast<const char*>(data), size);
    const char* text = reinterpret_cast<const char*>(c.edge.Place(name.c_str(), name.size() + 1));
    bool safe = CUnzipper::IsSafeEntryName(text);
    if (!c.edge.Intact())
        c.report.Guard("entry name");
    std::string cut(text); // what a C string holds
    std::wstring wide = WideText(cut.c_str());
    const wchar_t* w =
        reinterpret_cast<const wchar_t*>(c.edge.Place(wide.c_str(), (wide.size() + 1) * sizeof(wchar_t)));
    bool relative = IsSafeRelativePath(w, true);
    // A safe path stays safe once normalized (the placement joins the normalized form).
    std::wstring normalSafe;
    if (relative && !NormalizeRelativePath(w, true, normalSafe))
        c.report.Invariant("safe path refused by normalization");
    std::wstring normal;
    bool normalized = NormalizeRelativePath(w, true, normal);
    IsPlainFileName(w);
    if (!c.edge.Intact())
        c.report.Guard("wide entry name");
    if (normalized)
    {
        // A normalized path never climbs, never names a root, a drive or a stream.
        std::wstring padded = L"\\" + normal + L"\\";
        if (padded.find(L"\\..\\") != std::wstring::npos || normal.find(L':') != std::wstring::npos ||
            (!normal.empty() && normal[0] == L'\\') || normal.find(L'/') != std::wstring::npos)
            c.report.Invariant("normalized path leaves its folder");
        if (!IsSafeRelativePath(normal.c_str(), true))
            c.report.Invariant("normalized path is not relative-safe");
    }
    if (safe)
    {
        // Judged by what the file functions will see: the name in the file-system code
        // page (a DBCS trail byte is no separator there).
        std::wstring seen = FileApiToWide(cut.c_str());
        if (seen.find(L':') != std::wstring::npos)
            c.report.Invariant("entry name with ':' accepted");
        if (!seen.empty() && (seen[0] == L'\\' || seen[0] == L'/'))
            c.report.Invariant("rooted entry name accepted");
        std::wstring slashed = L"/" + seen + L"/";
        for (wchar_t& ch : slashed)
            if (ch == L'\\')
                ch = L'/';
        if (slashed.find(L"/../") != std::wstring::npos)
            c.report.Invariant("climbing entry name accepted");
    }
}

// The runner's own check: an input "crash" faults, "guard" writes before its buffer,
// "hang" never returns, "throw" throws; anything else parses nothing.
void SelfCheck(Context& c, const unsigned char* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    unsigned char* at = c.edge.Place(data, size);
    if (text == "crash")
        *reinterpret_cast<volatile int*>(at + size + 16) = 1; // the page without access
    else if (text == "guard")
        at[-1] ^= 0xFF;
    else if (text == "hang")
        for (;;)
            Sleep(1000);
    else if (text == "throw")
        throw std::runtime_error("thrown");
    if (!c.edge.Intact())
        c.report.Guard("selfcheck");
}

typedef void (*Target)(Context&, const unsigned char*, size_t);

Target FindTarget(const wchar_t* name)
{
    static const struct
    {
        const wchar_t* name;
        Target target;
    } targets[] = {{L"link", FuzzLink},      {L"linkfile", FuzzLinkFile}, {L"packet", FuzzPacket},
                   {L"base64", FuzzBase64},  {L"manifest", FuzzManifest}, {L"zipname", FuzzZipName},
                   {L"selfcheck", SelfCheck}};
    for (const auto& t : targets)
        if (wcscmp(t.name, name) == 0)
            return t.target;
    return nullptr;
}

bool ReadBatch(const wchar_t* path, std::vector<std::string>& inputs)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string all;
    char block[65536];
    DWORD got = 0;
    while (ReadFile(file, block, sizeof(block), &got, nullptr) && got)
        all.append(block, got);
    CloseHandle(file);
    if (all.compare(0, 4, "NVFZ") != 0)
        return false;
    size_t at = 4;
    while (at + 4 <= all.size())
    {
        unsigned char* p = reinterpret_cast<unsigned char*>(&all[at]);
        size_t length = p[0] | (p[1] << 8) | (p[2] << 16) | ((size_t)p[3] << 24);
        at += 4;
        if (length > kMaxInput || at + length > all.size())
            return false;
        inputs.emplace_back(all, at, length);
        at += length;
    }
    return at == all.size();
}

std::wstring MakeScratch()
{
    // NVPC_FUZZ_SCRATCH may name a faster folder (a memory file system) than the temp one.
    wchar_t buffer[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"NVPC_FUZZ_SCRATCH", buffer, MAX_PATH);
    if (!n || n >= MAX_PATH)
        n = GetTempPathW(MAX_PATH, buffer);
    if (!n || n >= MAX_PATH)
        return std::wstring();
    std::wstring folder(buffer, n);
    if (folder.back() != L'\\')
        folder += L'\\';
    folder += L"nvpc_fuzz_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"pkg").c_str(), nullptr);
    return folder;
}

void RemoveScratch(const std::wstring& folder)
{
    for (const wchar_t* name : {L"pkg\\master_1.xml", L"pkg\\PROD.xml", L"link.nvpc"})
        DeleteFileW((folder + name).c_str());
    RemoveDirectoryW((folder + L"pkg").c_str());
    RemoveDirectoryW(folder.c_str());
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && wcscmp(argv[1], L"hold") == 0)
    {
        HANDLE file =
            CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
        {
            printf("error %lu\n", GetLastError());
            return 1;
        }
        printf("held\n");
        fflush(stdout);
        Sleep(wcstoul(argv[3], nullptr, 10) * 1000);
        CloseHandle(file);
        return 0;
    }
    if (argc != 3 && argc != 5)
    {
        fprintf(stderr, "usage: nvpc_fuzz TARGET BATCH [FIRST COUNT]\n");
        return 2;
    }
    Target target = FindTarget(argv[1]);
    std::vector<std::string> inputs;
    if (!target || !ReadBatch(argv[2], inputs))
    {
        fprintf(stderr, "unknown target or unreadable batch\n");
        return 2;
    }
    size_t first = argc == 5 ? wcstoul(argv[3], nullptr, 10) : 0;
    size_t count = argc == 5 ? wcstoul(argv[4], nullptr, 10) : inputs.size();
    if (first > inputs.size())
        first = inputs.size();
    if (count > inputs.size() - first)
        count = inputs.size() - first;

    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(OnCrash);
    AddVectoredExceptionHandler(0, OnFault);

    Context context;
    context.scratch = MakeScratch();
    if (!context.edge.ok() || context.scratch.empty())
    {
        fprintf(stderr, "no buffer or scratch folder\n");
        return 2;
    }
    for (size_t i = first; i < first + count; ++i)
    {
        g_current = (LONG)i;
        context.report.index = (long)i;
        try
        {
            target(context, reinterpret_cast<const unsigned char*>(inputs[i].data()), inputs[i].size());
        }
        catch (...)
        {
            // No exception may leave a parser: its callers do not expect one.
            context.report.Invariant("exception escaped the parser");
        }
    }
    RemoveScratch(context.scratch);
    printf("done %lu\n", (unsigned long)count);
    fflush(stdout);
    return 0;
}
