#pragma once
// An owning COM interface pointer. Header-only: the browser plug-in uses it without the
// core library. Copying adds a reference, moving hands it over, destruction releases it.
// A raw pointer given to the constructor or reset() gains a reference of its own; attach()
// takes over one the caller already holds (what a creation function returned).
#include <objbase.h>

#include <cstddef>
#include <utility>

template <typename T> class ComPtr
{
  public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    explicit ComPtr(T* p) noexcept : m_p(p)
    {
        if (m_p)
            m_p->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(other.detach()) {}
    ~ComPtr() { reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept
    {
        reset(other.m_p);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other)
            attach(other.detach());
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept
    {
        reset();
        return *this;
    }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Holds p with a reference of its own (the old pointer is released after p gains it,
    // so resetting to the same object is safe).
    void reset(T* p = nullptr) noexcept
    {
        if (p)
            p->AddRef();
        attach(p);
    }
    // Takes over the caller's reference on p.
    void attach(T* p) noexcept
    {
        T* old = m_p;
        m_p = p;
        if (old)
            old->Release();
    }
    // Gives the reference to the caller.
    T* detach() noexcept
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    // For out-parameters: releases what is held and exposes the slot.
    T** put() noexcept
    {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    // Hands a new reference to an out-parameter (null stays null).
    HRESULT CopyTo(T** out) const noexcept
    {
        if (!out)
            return E_POINTER;
        *out = m_p;
        if (m_p)
            m_p->AddRef();
        return S_OK;
    }
    // QueryInterface into another owner; out is emptied on failure.
    template <typename U> HRESULT As(REFIID iid, ComPtr<U>& out) const noexcept
    {
        if (!m_p)
        {
            out.reset();
            return E_POINTER;
        }
        return m_p->QueryInterface(iid, out.put_void());
    }
    template <typename U> HRESULT As(ComPtr<U>& out) const noexcept { return As(__uuidof(U), out); }

  private:
    T* m_p = nullptr;
};

template <typename T, typename U> bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) noexcept
{
    return a.get() == b.get();
}
template <typename T, typename U> bool operator!=(const ComPtr<T>& a, const ComPtr<U>& b) noexcept
{
    return a.get() != b.get();
}
