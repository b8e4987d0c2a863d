#pragma once
// One owning wrapper per handle kind. A traits type says which value means "none"
// and how the handle is closed; wrappers are movable and never copied.
#include <winsock2.h>
#include <windows.h>
#include <wininet.h>
#include <utility>

template <typename Traits> class UniqueHandleT
{
  public:
    typedef typename Traits::Type Type;

    UniqueHandleT() noexcept : m_h(Traits::Invalid()) {}
    explicit UniqueHandleT(Type h) noexcept : m_h(h) {}
    ~UniqueHandleT() { reset(); }
    UniqueHandleT(const UniqueHandleT&) = delete;
    UniqueHandleT& operator=(const UniqueHandleT&) = delete;
    UniqueHandleT(UniqueHandleT&& other) noexcept : m_h(other.release()) {}
    UniqueHandleT& operator=(UniqueHandleT&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    Type get() const noexcept { return m_h; }
    bool valid() const noexcept { return m_h != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Closes the held handle (if any) and takes h.
    void reset(Type h = Traits::Invalid()) noexcept
    {
        Type old = m_h;
        m_h = h;
        if (old != Traits::Invalid() && old != h)
            Traits::Close(old);
    }
    // Gives up ownership without closing.
    Type release() noexcept
    {
        Type h = m_h;
        m_h = Traits::Invalid();
        return h;
    }
    // For out-parameters: closes the held handle and exposes the slot.
    Type* put() noexcept
    {
        reset();
        return &m_h;
    }

  private:
    Type m_h;
};

struct KernelHandleTraits // events, threads, processes, mutexes: NULL means none
{
    typedef HANDLE Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CloseHandle(h); }
};
struct FileHandleTraits // CreateFileW, FindFirstFileW-less files: INVALID_HANDLE_VALUE means none
{
    typedef HANDLE Type;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};
struct FindHandleTraits
{
    typedef HANDLE Type;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};
struct ModuleHandleTraits
{
    typedef HMODULE Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::FreeLibrary(h); }
};
struct RegKeyTraits
{
    typedef HKEY Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::RegCloseKey(h); }
};
struct SocketTraits
{
    typedef SOCKET Type;
    static Type Invalid() { return INVALID_SOCKET; }
    static void Close(Type h) { ::closesocket(h); }
};
struct InternetHandleTraits
{
    typedef HINTERNET Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::InternetCloseHandle(h); }
};
struct GdiObjectTraits
{
    typedef HGDIOBJ Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DeleteObject(h); }
};

typedef UniqueHandleT<KernelHandleTraits> UniqueHandle;
typedef UniqueHandleT<FileHandleTraits> UniqueFile;
typedef UniqueHandleT<FindHandleTraits> UniqueFind;
typedef UniqueHandleT<ModuleHandleTraits> UniqueModule;
typedef UniqueHandleT<RegKeyTraits> UniqueRegKey;
typedef UniqueHandleT<SocketTraits> UniqueSocket;
typedef UniqueHandleT<InternetHandleTraits> UniqueInternet;
typedef UniqueHandleT<GdiObjectTraits> UniqueGdiObject;

// Owns a critical section for its whole life: initialised on construction, deleted on
// destruction, never copied or moved (threads hold its address).
class CriticalSection
{
  public:
    CriticalSection() noexcept { ::InitializeCriticalSection(&m_cs); }
    ~CriticalSection() { ::DeleteCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() noexcept { ::EnterCriticalSection(&m_cs); }
    void Leave() noexcept { ::LeaveCriticalSection(&m_cs); }
    bool TryEnter() noexcept { return ::TryEnterCriticalSection(&m_cs) != 0; }

  private:
    CRITICAL_SECTION m_cs;
};

// Holds a critical section for the enclosing scope.
class CriticalSectionLock
{
  public:
    explicit CriticalSectionLock(CriticalSection& cs) noexcept : m_cs(cs) { m_cs.Enter(); }
    ~CriticalSectionLock() { m_cs.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  private:
    CriticalSection& m_cs;
};
