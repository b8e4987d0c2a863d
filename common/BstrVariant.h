#pragma once
// Owners of the two automation value kinds that a COM call hands over: BSTR (freed with
// SysFreeString) and VARIANT (cleared with VariantClear, which also frees a BSTR or
// releases an interface it holds). Header-only, like the rest of the COM toolkit.
#include <oleauto.h>

#include <new>
#include <string>
#include <utility>

class UniqueBstr
{
  public:
    UniqueBstr() noexcept = default;
    // Takes ownership of s.
    explicit UniqueBstr(BSTR s) noexcept : m_s(s) {}
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    UniqueBstr(UniqueBstr&& other) noexcept : m_s(other.release()) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueBstr() { reset(); }

    // A copy of text (embedded nulls kept); throws std::bad_alloc when the system has no
    // memory for it, so that a COM method's firewall answers E_OUTOFMEMORY.
    static UniqueBstr Copy(const std::wstring& text)
    {
        BSTR s = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!s)
            throw std::bad_alloc();
        return UniqueBstr(s);
    }

    BSTR get() const noexcept { return m_s; }
    explicit operator bool() const noexcept { return m_s != nullptr; }
    // Characters held; a null BSTR is the empty string, as automation treats it.
    UINT length() const noexcept { return ::SysStringLen(m_s); }
    std::wstring str() const { return m_s ? std::wstring(m_s, ::SysStringLen(m_s)) : std::wstring(); }

    void reset(BSTR s = nullptr) noexcept
    {
        BSTR old = m_s;
        m_s = s;
        if (old && old != s)
            ::SysFreeString(old);
    }
    // Gives the string to the caller (for an [out] BSTR* parameter).
    BSTR release() noexcept
    {
        BSTR s = m_s;
        m_s = nullptr;
        return s;
    }
    // For [out] BSTR* arguments of a call: frees what is held and exposes the slot.
    BSTR* put() noexcept
    {
        reset();
        return &m_s;
    }

  private:
    BSTR m_s = nullptr;
};

class UniqueVariant
{
  public:
    UniqueVariant() noexcept { ::VariantInit(&m_v); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    // A VARIANT is a plain value: moving copies its bits and empties the source, so the
    // value it owns (string, interface) is freed exactly once.
    UniqueVariant(UniqueVariant&& other) noexcept : m_v(other.m_v) { ::VariantInit(&other.m_v); }
    UniqueVariant& operator=(UniqueVariant&& other) noexcept
    {
        if (this != &other)
        {
            reset();
            m_v = other.m_v;
            ::VariantInit(&other.m_v);
        }
        return *this;
    }
    ~UniqueVariant() { reset(); }

    VARIANT* get() noexcept { return &m_v; }
    const VARIANT* get() const noexcept { return &m_v; }
    VARIANT* operator->() noexcept { return &m_v; }
    VARTYPE type() const noexcept { return m_v.vt; }

    // Clears the value (frees or releases what it holds) and leaves VT_EMPTY.
    void reset() noexcept
    {
        ::VariantClear(&m_v);
        ::VariantInit(&m_v); // VariantClear keeps the old type when clearing fails
    }
    // For [out] VARIANT* arguments: clears and exposes the value.
    VARIANT* put() noexcept
    {
        reset();
        return &m_v;
    }
    // Gives the value to the caller (for an [out, retval] VARIANT*); this one is left empty.
    VARIANT release() noexcept
    {
        VARIANT v = m_v;
        ::VariantInit(&m_v);
        return v;
    }

  private:
    VARIANT m_v;
};
