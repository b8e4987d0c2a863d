#pragma once
// IUnknown bookkeeping for an object that may be aggregated: the ComObject of ComObject.h
// split into a delegating IUnknown (what every listed interface answers: the outer
// object's when aggregated, else the object's own) and the non-delegating inner one that
// holds the count and the identity. T lists its interfaces as for ComObject and may have
//   HRESULT FinalConstruct();  // after construction; a failure destroys the object
//   void FinalRelease();       // when the last reference goes, before destruction
//
//   HRESULT hr = CreateAggregatable<CThing, MyLock>(outer, iid, out);
#include "common/ComObject.h"

namespace com_detail
{
template <typename T, typename = void> struct HasFinalConstruct : std::false_type
{
};
template <typename T>
struct HasFinalConstruct<T, std::void_t<decltype(std::declval<T&>().FinalConstruct())>> : std::true_type
{
};
template <typename T, typename = void> struct HasFinalRelease : std::false_type
{
};
template <typename T>
struct HasFinalRelease<T, std::void_t<decltype(std::declval<T&>().FinalRelease())>> : std::true_type
{
};
} // namespace com_detail

template <typename T, typename Lock = typename com_detail::ModuleLockOf<T>::Type>
class ComAggregatableObject final : private com_detail::LockHolder<Lock>, public T
{
    using Table = com_detail::Table<typename T::Interfaces>;

    // The object's own IUnknown: its count, its identity, and the lookup in T's table.
    class Inner final : public IUnknown
    {
      public:
        explicit Inner(ComAggregatableObject* owner) noexcept : m_owner(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
        {
            if (!out)
                return E_POINTER;
            if (IsEqualIID(iid, IID_IUnknown))
            {
                *out = static_cast<IUnknown*>(this);
                AddRef();
                return S_OK;
            }
            *out = Table::Find(static_cast<T*>(m_owner), iid);
            if (!*out)
                return E_NOINTERFACE;
            // Through the interface found, so that the outer object counts it.
            static_cast<IUnknown*>(*out)->AddRef();
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override
        {
            return static_cast<ULONG>(::InterlockedIncrement(&m_refs));
        }
        ULONG STDMETHODCALLTYPE Release() override
        {
            LONG refs = ::InterlockedDecrement(&m_refs);
            if (refs == 0)
            {
                // Held at one while FinalRelease runs, so that a reference it takes and
                // gives back does not destroy the object a second time.
                m_refs = 1;
                if constexpr (com_detail::HasFinalRelease<T>::value)
                    static_cast<T*>(m_owner)->FinalRelease();
                delete m_owner;
            }
            return static_cast<ULONG>(refs);
        }

      private:
        ComAggregatableObject* m_owner;
        volatile LONG m_refs = 1;
    };

  public:
    // outer: the aggregating object's IUnknown, or null for an object of its own.
    explicit ComAggregatableObject(IUnknown* outer) : m_inner(this), m_outer(outer ? outer : &m_inner) {}
    ComAggregatableObject(const ComAggregatableObject&) = delete;
    ComAggregatableObject& operator=(const ComAggregatableObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        return m_outer->QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_outer->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_outer->Release(); }

    // The non-delegating IUnknown (one reference is held by whoever created the object).
    IUnknown* inner() noexcept { return &m_inner; }

  private:
    ~ComAggregatableObject() = default;

    Inner m_inner;
    IUnknown* m_outer;
};

// What a class factory that allows aggregation does: with an outer object only IUnknown
// may be asked for (the inner IUnknown is returned), as COM requires. *out is null on
// failure.
template <typename T, typename Lock = typename com_detail::ModuleLockOf<T>::Type>
HRESULT CreateAggregatable(IUnknown* outer, REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    return ComFirewall(
        [&]
        {
            auto* object = new ComAggregatableObject<T, Lock>(outer);
            ComPtr<IUnknown> inner;
            inner.attach(object->inner()); // the creation's reference, released on failure
            if constexpr (com_detail::HasFinalConstruct<T>::value)
            {
                HRESULT hr = static_cast<T*>(object)->FinalConstruct();
                if (FAILED(hr))
                    return hr;
            }
            return inner->QueryInterface(iid, out);
        });
}
