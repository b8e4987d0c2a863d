// WinProbe: looks at and drives the windows of another process for the end-to-end tests.
// One command per run; the answer is UTF-8 JSON on stdout.
//
//   WinProbe find      <selector> [--wait MS]
//   WinProbe controls  <selector> [--wait MS]
//   WinProbe click     <selector> --id N [--wait MS]
//   WinProbe capture   <selector> --out FILE.bmp [--wait MS]
//   WinProbe wait-gone <selector> [--wait MS]
//
//   selector: --title T | --class C | --hwnd H, optionally with --pid N
//
// Exit codes: 0 success, 1 window (or control) not found in time, 2 bad arguments,
// 3 a system call failed.
#include <windows.h>
#include <commctrl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace
{
const int kExitOk = 0;
const int kExitNotFound = 1;
const int kExitUsage = 2;
const int kExitFailed = 3;
const DWORD kPollMs = 50;
const UINT kMessageTimeoutMs = 2000;

struct Selector
{
    std::wstring title;
    std::wstring className;
    bool byTitle = false;
    bool byClass = false;
    HWND hwnd = nullptr;
    DWORD pid = 0;
    DWORD waitMs = 10000;
};

struct Options
{
    std::wstring command;
    Selector selector;
    bool hasId = false;
    int id = 0;
    std::wstring out;
};

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string result(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr,
                            nullptr);
    return result;
}

// A JSON string literal, quotes included.
std::string JsonString(const std::wstring& text)
{
    std::string utf8 = Utf8(text);
    std::string out = "\"";
    for (unsigned char c : utf8)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c < 0x20)
        {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string JsonRect(const RECT& r)
{
    char text[96];
    snprintf(text, sizeof text, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
    return text;
}

std::string JsonNumber(long long value)
{
    char text[32];
    snprintf(text, sizeof text, "%lld", value);
    return text;
}

// Written in one piece with WriteFile: the C runtime's text mode would turn "\n" into
// "\r\n" and its wide functions would go through the console code page.
void WriteLine(DWORD stream, const std::string& text)
{
    std::string line = text + "\n";
    HANDLE out = GetStdHandle(stream);
    DWORD written = 0;
    if (out != nullptr && out != INVALID_HANDLE_VALUE)
        WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void Emit(const std::string& json)
{
    WriteLine(STD_OUTPUT_HANDLE, json);
}

int Fail(int code, const std::wstring& message)
{
    Emit("{\"error\":" + JsonString(message) + "}");
    WriteLine(STD_ERROR_HANDLE, "WinProbe: " + Utf8(message));
    return code;
}

// Window text through a bounded message: a hung target must not hang the probe. WM_GETTEXT
// is marshalled across processes by the system, so this reads other processes' controls.
std::wstring WindowText(HWND hwnd)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &length))
        return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 2, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied))
        return std::wstring();
    buffer.back() = L'\0';
    return std::wstring(buffer.data());
}

// A top-level window's caption as the system stores it. InternalGetWindowText sends no
// message (GetWindowTextLengthW does, even to another process's window), so a program busy
// in a wait cannot stall the search.
std::wstring Caption(HWND hwnd)
{
    std::vector<wchar_t> buffer(1024, L'\0');
    InternalGetWindowText(hwnd, buffer.data(), static_cast<int>(buffer.size()));
    buffer.back() = L'\0';
    return std::wstring(buffer.data());
}

std::wstring ClassName(HWND hwnd)
{
    wchar_t name[256] = L"";
    GetClassNameW(hwnd, name, 256);
    return name;
}

DWORD WindowPid(HWND hwnd)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

bool Matches(HWND hwnd, const Selector& s)
{
    if (!IsWindowVisible(hwnd))
        return false;
    if (s.hwnd != nullptr && hwnd != s.hwnd)
        return false;
    if (s.pid != 0 && WindowPid(hwnd) != s.pid)
        return false;
    if (s.byClass && _wcsicmp(ClassName(hwnd).c_str(), s.className.c_str()) != 0)
        return false;
    if (s.byTitle && Caption(hwnd) != s.title)
        return false;
    return true;
}

struct FindState
{
    const Selector* selector;
    HWND found;
};

BOOL CALLBACK FindProc(HWND hwnd, LPARAM param)
{
    FindState* state = reinterpret_cast<FindState*>(param);
    if (Matches(hwnd, *state->selector))
    {
        state->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindOnce(const Selector& s)
{
    if (s.hwnd != nullptr)
        return IsWindow(s.hwnd) && Matches(s.hwnd, s) ? s.hwnd : nullptr;
    FindState state = {&s, nullptr};
    EnumWindows(FindProc, reinterpret_cast<LPARAM>(&state));
    return state.found;
}

// Polls until the window shows or the wait is over (the wait is checked after each look,
// so a zero wait still looks once).
HWND WaitFor(const Selector& s)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        HWND hwnd = FindOnce(s);
        if (hwnd != nullptr)
            return hwnd;
        if (GetTickCount() - start >= s.waitMs)
            return nullptr;
        Sleep(kPollMs);
    }
}

std::string WindowJson(HWND hwnd)
{
    RECT r = {};
    GetWindowRect(hwnd, &r);
    return "{\"hwnd\":" + JsonNumber(static_cast<long long>(reinterpret_cast<UINT_PTR>(hwnd))) +
           ",\"pid\":" + JsonNumber(WindowPid(hwnd)) + ",\"title\":" + JsonString(Caption(hwnd)) +
           ",\"class\":" + JsonString(ClassName(hwnd)) + ",\"rect\":" + JsonRect(r) + "}";
}

BOOL CALLBACK CollectProc(HWND hwnd, LPARAM param)
{
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> Children(HWND parent)
{
    std::vector<HWND> children;
    EnumChildWindows(parent, CollectProc, reinterpret_cast<LPARAM>(&children));
    return children;
}

LRESULT Ask(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result);
    return static_cast<LRESULT>(result);
}

std::string ControlJson(HWND dialog, HWND control)
{
    RECT r = {};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    std::wstring cls = ClassName(control);
    std::string json = "{\"id\":" + JsonNumber(GetDlgCtrlID(control)) + ",\"class\":" + JsonString(cls) +
                       ",\"text\":" + JsonString(WindowText(control)) +
                       ",\"visible\":" + (IsWindowVisible(control) ? "true" : "false") +
                       ",\"enabled\":" + (IsWindowEnabled(control) ? "true" : "false") +
                       ",\"rect\":" + JsonRect(r);
    if (_wcsicmp(cls.c_str(), PROGRESS_CLASSW) == 0)
    {
        // The range's ends are asked one at a time: a PBRANGE pointer would not cross the
        // process boundary.
        json += ",\"pos\":" + JsonNumber(static_cast<int>(Ask(control, PBM_GETPOS, 0, 0)));
        json += ",\"min\":" + JsonNumber(static_cast<int>(Ask(control, PBM_GETRANGE, TRUE, 0)));
        json += ",\"max\":" + JsonNumber(static_cast<int>(Ask(control, PBM_GETRANGE, FALSE, 0)));
    }
    return json + "}";
}

int Controls(HWND dialog)
{
    std::string json = "{\"hwnd\":" + JsonNumber(static_cast<long long>(reinterpret_cast<UINT_PTR>(dialog))) +
                       ",\"controls\":[";
    bool first = true;
    for (HWND control : Children(dialog))
    {
        if (!first)
            json += ",";
        first = false;
        json += ControlJson(dialog, control);
    }
    Emit(json + "]}");
    return kExitOk;
}

int Click(HWND dialog, int id)
{
    HWND button = nullptr;
    for (HWND control : Children(dialog))
        if (GetDlgCtrlID(control) == id && IsWindowVisible(control) && IsWindowEnabled(control))
        {
            button = control;
            break;
        }
    if (button == nullptr)
        return Fail(kExitNotFound, L"no visible, enabled control with id " + std::to_wstring(id));
    // BM_CLICK makes the button press and release itself and notify its parent, owner-drawn
    // or not. Posted: a handler that opens a modal window must not block the probe.
    if (!PostMessageW(button, BM_CLICK, 0, 0))
        return Fail(kExitFailed, L"BM_CLICK could not be posted");
    Emit("{\"clicked\":" + JsonNumber(id) + "}");
    return kExitOk;
}

// Top-down 24-bit pixels of a window-sized memory bitmap.
class Canvas
{
  public:
    Canvas(int width, int height) : m_width(width), m_height(height)
    {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = height; // bottom-up, as the file stores it
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        info.bmiHeader.biCompression = BI_RGB;
        m_dc = CreateCompatibleDC(nullptr);
        m_bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &m_bits, nullptr, 0);
        if (m_dc != nullptr && m_bitmap != nullptr)
            m_old = SelectObject(m_dc, m_bitmap);
    }
    ~Canvas()
    {
        if (m_old != nullptr)
            SelectObject(m_dc, m_old);
        if (m_bitmap != nullptr)
            DeleteObject(m_bitmap);
        if (m_dc != nullptr)
            DeleteDC(m_dc);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    bool ok() const { return m_old != nullptr && m_bits != nullptr; }
    HDC dc() const { return m_dc; }
    size_t stride() const { return (static_cast<size_t>(m_width) * 3 + 3) & ~static_cast<size_t>(3); }
    size_t size() const { return stride() * static_cast<size_t>(m_height); }

    void Clear()
    {
        GdiFlush();
        memset(m_bits, 0, size());
    }

    // True when every pixel has the colour of the first: nothing was drawn, most likely.
    bool Uniform() const
    {
        GdiFlush();
        const unsigned char* bits = static_cast<const unsigned char*>(m_bits);
        for (int y = 0; y < m_height; ++y)
        {
            const unsigned char* row = bits + stride() * static_cast<size_t>(y);
            for (int x = 0; x < m_width; ++x)
                if (memcmp(row + x * 3, bits, 3) != 0)
                    return false;
        }
        return true;
    }

    bool Save(const std::wstring& path) const
    {
        GdiFlush();
        BITMAPFILEHEADER file = {};
        BITMAPINFOHEADER header = {};
        header.biSize = sizeof header;
        header.biWidth = m_width;
        header.biHeight = m_height;
        header.biPlanes = 1;
        header.biBitCount = 24;
        header.biCompression = BI_RGB;
        header.biSizeImage = static_cast<DWORD>(size());
        file.bfType = 0x4D42; // "BM"
        file.bfOffBits = sizeof file + sizeof header;
        file.bfSize = file.bfOffBits + header.biSizeImage;
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        DWORD written = 0;
        bool ok = WriteFile(h, &file, sizeof file, &written, nullptr) && written == sizeof file &&
                  WriteFile(h, &header, sizeof header, &written, nullptr) && written == sizeof header &&
                  WriteFile(h, m_bits, header.biSizeImage, &written, nullptr) &&
                  written == header.biSizeImage;
        return CloseHandle(h) && ok;
    }

  private:
    int m_width;
    int m_height;
    HDC m_dc = nullptr;
    HBITMAP m_bitmap = nullptr;
    HGDIOBJ m_old = nullptr;
    void* m_bits = nullptr;
};

bool BlitFrom(HDC source, int x, int y, const Canvas& canvas, int width, int height)
{
    return source != nullptr && BitBlt(canvas.dc(), 0, 0, width, height, source, x, y, SRCCOPY | CAPTUREBLT);
}

int Capture(HWND hwnd, const std::wstring& out)
{
    RECT r = {};
    if (!GetWindowRect(hwnd, &r) || r.right <= r.left || r.bottom <= r.top)
        return Fail(kExitFailed, L"the window has no area");
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    Canvas canvas(width, height);
    if (!canvas.ok())
        return Fail(kExitFailed, L"no bitmap for the capture");

    // PrintWindow first (it needs no window on top), then the window's own DC, then the
    // screen: whichever gives more than one colour. A blank answer from one way is common
    // across processes, so the next is tried instead of trusting it.
    const char* method = nullptr;
    canvas.Clear();
    if (PrintWindow(hwnd, canvas.dc(), 0) && !canvas.Uniform())
        method = "PrintWindow";
    if (method == nullptr)
    {
        canvas.Clear();
        HDC windowDc = GetWindowDC(hwnd);
        if (BlitFrom(windowDc, 0, 0, canvas, width, height) && !canvas.Uniform())
            method = "WindowDC";
        if (windowDc != nullptr)
            ReleaseDC(hwnd, windowDc);
    }
    if (method == nullptr)
    {
        canvas.Clear();
        HDC screenDc = GetDC(nullptr);
        bool blitted = BlitFrom(screenDc, r.left, r.top, canvas, width, height);
        if (screenDc != nullptr)
            ReleaseDC(nullptr, screenDc);
        // The screen is what a user would see; keep it even when it is one colour.
        method = blitted ? "ScreenDC" : nullptr;
    }
    if (method == nullptr)
        return Fail(kExitFailed, L"the window could not be captured");
    if (!canvas.Save(out))
        return Fail(kExitFailed, L"cannot write " + out);
    wchar_t full[MAX_PATH] = L"";
    GetFullPathNameW(out.c_str(), MAX_PATH, full, nullptr);
    Emit("{\"file\":" + JsonString(full) + ",\"width\":" + JsonNumber(width) +
         ",\"height\":" + JsonNumber(height) + ",\"method\":\"" + method + "\"}");
    return kExitOk;
}

int WaitGone(const Selector& s)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        if (FindOnce(s) == nullptr)
        {
            Emit("{\"gone\":true}");
            return kExitOk;
        }
        if (GetTickCount() - start >= s.waitMs)
            return Fail(kExitNotFound, L"the window is still there");
        Sleep(kPollMs);
    }
}

// A whole decimal (or 0x hexadecimal) number that fits; nothing else.
bool ParseNumber(const wchar_t* text, unsigned long long limit, unsigned long long* value)
{
    if (text == nullptr || *text == L'\0' || *text == L'-' || *text == L'+' || iswspace(*text))
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    unsigned long long parsed = wcstoull(text, &end, 0);
    if (errno != 0 || end == nullptr || *end != L'\0' || parsed > limit)
        return false;
    *value = parsed;
    return true;
}

bool ParseArgs(int argc, wchar_t** argv, Options* o, std::wstring* error)
{
    if (argc < 2)
    {
        *error = L"no command";
        return false;
    }
    o->command = argv[1];
    for (int i = 2; i < argc; ++i)
    {
        std::wstring name = argv[i];
        if (i + 1 >= argc)
        {
            *error = name + L" needs a value";
            return false;
        }
        const wchar_t* value = argv[++i];
        unsigned long long number = 0;
        if (name == L"--title")
        {
            o->selector.title = value;
            o->selector.byTitle = true;
        }
        else if (name == L"--class")
        {
            o->selector.className = value;
            o->selector.byClass = true;
        }
        else if (name == L"--hwnd" && ParseNumber(value, ~static_cast<UINT_PTR>(0), &number) && number != 0)
            o->selector.hwnd = reinterpret_cast<HWND>(static_cast<UINT_PTR>(number));
        else if (name == L"--pid" && ParseNumber(value, 0xFFFFFFFFull, &number) && number != 0)
            o->selector.pid = static_cast<DWORD>(number);
        else if (name == L"--wait" && ParseNumber(value, 3600000, &number))
            o->selector.waitMs = static_cast<DWORD>(number);
        else if (name == L"--id" && ParseNumber(value, 0xFFFF, &number))
        {
            o->id = static_cast<int>(number);
            o->hasId = true;
        }
        else if (name == L"--out" && *value != L'\0')
            o->out = value;
        else
        {
            *error = L"bad option or value: " + name + L" " + value;
            return false;
        }
    }
    const Selector& s = o->selector;
    if (!s.byTitle && !s.byClass && s.hwnd == nullptr)
    {
        *error = L"give --title, --class or --hwnd";
        return false;
    }
    if (o->command == L"click" && !o->hasId)
    {
        *error = L"click needs --id";
        return false;
    }
    if (o->command == L"capture" && o->out.empty())
    {
        *error = L"capture needs --out";
        return false;
    }
    if (o->command != L"find" && o->command != L"controls" && o->command != L"click" &&
        o->command != L"capture" && o->command != L"wait-gone")
    {
        *error = L"unknown command " + o->command;
        return false;
    }
    return true;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    std::wstring error;
    if (!ParseArgs(argc, argv, &options, &error))
        return Fail(kExitUsage, error);

    if (options.command == L"wait-gone")
        return WaitGone(options.selector);

    HWND hwnd = WaitFor(options.selector);
    if (hwnd == nullptr)
        return Fail(kExitNotFound, L"no such window");
    if (options.command == L"find")
    {
        Emit(WindowJson(hwnd));
        return kExitOk;
    }
    if (options.command == L"controls")
        return Controls(hwnd);
    if (options.command == L"click")
        return Click(hwnd, options.id);
    return Capture(hwnd, options.out);
}
