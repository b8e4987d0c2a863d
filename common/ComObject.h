#pragma once
// IUnknown bookkeeping without ATL, header-only so that the browser plug-in can use it
// without the core library. A class derives from the interfaces it implements, lists
// what QueryInterface answers, in order, and leaves IUnknown to ComObject:
//
//   class CThing : public IPersistStream, public IPersistFile
//   {
//     public:
//       using Interfaces = ComInterfaces<IPersistStream, IPersistFile, ComVia<IPersist, IPersistStream>>;
//       using ModuleLock = MyDllLock; // optional: what keeps the module loaded while it lives
//       ...
//   };
//   ComPtr<IPersistStream> thing = MakeCom<CThing>();
//
// The first entry is the object's identity: QueryInterface for IUnknown always returns it.
// ComVia<I, Path> names the base through which an interface that several listed bases
// share is reached. Interface identifiers come from __uuidof (mingw's headers and widl's
// generated ones declare them; our own interfaces add __CRT_UUID_DECL).
#include <objbase.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#include "common/ComPtr.h"

// ---- Exception firewall for COM methods ----

// A failure that a COM method reports as its result.
class ComError : public std::exception
{
  public:
    explicit ComError(HRESULT hr) noexcept : m_hr(hr) {}
    HRESULT hr() const noexcept { return m_hr; }
    const char* what() const noexcept override { return "COM call failed"; }

  private:
    HRESULT m_hr;
};

inline void ThrowIfFailed(HRESULT hr)
{
    if (FAILED(hr))
        throw ComError(hr);
}

// No exception crosses a COM boundary: return ComFirewall([&] { ...; return S_OK; });
// A body returning void answers S_OK.
template <typename Body> HRESULT ComFirewall(Body&& body) noexcept
{
    try
    {
        if constexpr (std::is_void_v<decltype(body())>)
        {
            body();
            return S_OK;
        }
        else
        {
            return body();
        }
    }
    catch (const ComError& e)
    {
        return e.hr();
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_UNEXPECTED;
    }
}

// ---- Interface tables ----

template <typename... Entries> struct ComInterfaces
{
};
// Answers Interface's identifier with the Interface reached through the base Path.
template <typename Interface, typename Path> struct ComVia
{
};

// What keeps a module loaded while objects live. The default keeps nothing.
struct NoModuleLock
{
    static void Lock() noexcept {}
    static void Unlock() noexcept {}
};
// A DLL's count of live objects and server locks, for DllCanUnloadNow. Tag makes one
// count per use.
template <typename Tag> struct CountingModuleLock
{
    static void Lock() noexcept { ::InterlockedIncrement(&s_count); }
    static void Unlock() noexcept { ::InterlockedDecrement(&s_count); }
    static LONG Count() noexcept { return s_count; }

  private:
    static inline volatile LONG s_count = 0;
};

namespace com_detail
{
template <typename Entry> struct EntryOf
{
    using Interface = Entry;
    using Path = Entry;
};
template <typename I, typename P> struct EntryOf<ComVia<I, P>>
{
    using Interface = I;
    using Path = P;
};

template <typename Entry, typename Object> typename EntryOf<Entry>::Interface* Cast(Object* self) noexcept
{
    using Path = typename EntryOf<Entry>::Path;
    return static_cast<typename EntryOf<Entry>::Interface*>(static_cast<Path*>(self));
}

template <typename List> struct Table;
template <typename First, typename... Rest> struct Table<ComInterfaces<First, Rest...>>
{
    using FirstEntry = First;
    using FirstInterface = typename EntryOf<First>::Interface;

    template <typename Object> static IUnknown* Identity(Object* self) noexcept
    {
        return static_cast<IUnknown*>(Cast<First>(self));
    }
    template <typename Object> static void* Find(Object* self, REFIID iid) noexcept
    {
        if (IsEqualIID(iid, IID_IUnknown))
            return Identity(self);
        void* found = nullptr;
        (void)(Match<First>(self, iid, found) || ... || Match<Rest>(self, iid, found));
        return found;
    }
    template <typename Entry, typename Object>
    static bool Match(Object* self, REFIID iid, void*& found) noexcept
    {
        if (!IsEqualIID(iid, __uuidof(typename EntryOf<Entry>::Interface)))
            return false;
        found = Cast<Entry>(self);
        return true;
    }
};

template <typename T, typename = void> struct ModuleLockOf
{
    using Type = NoModuleLock;
};
template <typename T> struct ModuleLockOf<T, std::void_t<typename T::ModuleLock>>
{
    using Type = typename T::ModuleLock;
};

// Constructed before and destroyed after the object, so the module stays locked for the
// whole of the object's code.
template <typename Lock> struct LockHolder
{
    LockHolder() noexcept { Lock::Lock(); }
    ~LockHolder() { Lock::Unlock(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
};
} // namespace com_detail

template <typename T>
using ComFirstInterface = typename com_detail::Table<typename T::Interfaces>::FirstInterface;

// The implementation of IUnknown for T: an atomic reference count (objects may be
// reached from several threads), QueryInterface from T::Interfaces, deletion when the
// count reaches zero. Only made by MakeCom/MakeComObject, which start it at one.
template <typename T>
class ComObject final : private com_detail::LockHolder<typename com_detail::ModuleLockOf<T>::Type>, public T
{
    using Table = com_detail::Table<typename T::Interfaces>;

  public:
    template <typename... Args> explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...) {}
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = Table::Find(static_cast<T*>(this), iid);
        if (!*out)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refs)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG refs = ::InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }
    // The object's identity (the first listed interface); no reference is added.
    IUnknown* identity() noexcept { return Table::Identity(static_cast<T*>(this)); }

  private:
    ~ComObject() = default;
    volatile LONG m_refs = 1;
};

// A new object with a count of one, held by its class (for the maker that needs T's own
// members). Throws std::bad_alloc or whatever T's constructor throws.
template <typename T, typename... Args> ComPtr<ComObject<T>> MakeComObject(Args&&... args)
{
    ComPtr<ComObject<T>> object;
    object.attach(new ComObject<T>(std::forward<Args>(args)...));
    return object;
}

// A new object with a count of one, held by its first listed interface.
template <typename T, typename... Args> ComPtr<ComFirstInterface<T>> MakeCom(Args&&... args)
{
    using Table = com_detail::Table<typename T::Interfaces>;
    ComObject<T>* object = new ComObject<T>(std::forward<Args>(args)...);
    ComPtr<ComFirstInterface<T>> first;
    first.attach(com_detail::Cast<typename Table::FirstEntry>(static_cast<T*>(object)));
    return first;
}

// What a class factory does: a new object, asked for iid. *out is null on failure.
template <typename T, typename... Args>
HRESULT CreateComInstance(REFIID iid, void** out, Args&&... args) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return ComFirewall(
        [&]
        {
            ComPtr<ComObject<T>> object = MakeComObject<T>(std::forward<Args>(args)...);
            return object->QueryInterface(iid, out);
        });
}
