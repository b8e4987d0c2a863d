#pragma once
// IDispatch for a dual interface, served from the type information of the type library
// embedded in the module that holds this code (resource TYPELIB 1): names and calls go
// through DispGetIDsOfNames/DispInvoke, so the IDL is the only place they are declared.
//
//   class CThing : public DispatchImpl<IThing> { using Interfaces = ComInterfaces<IThing, IDispatch>; ... };
#include <oleauto.h>

#include <string>

#include "common/ComObject.h"
#include "common/Module.h"

// The type information of interface iid from the type library embedded in module.
inline HRESULT LoadModuleTypeInfo(HMODULE module, REFIID iid, ITypeInfo** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return ComFirewall(
        [&]
        {
            std::wstring path = ModulePath(module);
            if (path.empty())
                return E_FAIL;
            ComPtr<ITypeLib> lib;
            HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put());
            if (FAILED(hr))
                return hr;
            return lib->GetTypeInfoOfGuid(iid, out);
        });
}

template <typename I> class DispatchImpl : public I
{
  public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override
    {
        if (!info)
            return E_POINTER;
        *info = nullptr;
        if (index != 0)
            return DISP_E_BADINDEX;
        ITypeInfo* ti = nullptr;
        HRESULT hr = TypeInfo(&ti);
        if (FAILED(hr))
            return hr;
        ti->AddRef();
        *info = ti;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override
    {
        if (!IsEqualIID(riid, IID_NULL))
            return DISP_E_UNKNOWNINTERFACE;
        ITypeInfo* ti = nullptr;
        HRESULT hr = TypeInfo(&ti);
        return FAILED(hr) ? hr : ::DispGetIDsOfNames(ti, names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT* argErr) override
    {
        if (!IsEqualIID(riid, IID_NULL))
            return DISP_E_UNKNOWNINTERFACE;
        ITypeInfo* ti = nullptr;
        HRESULT hr = TypeInfo(&ti);
        return FAILED(hr) ? hr
                          : ::DispInvoke(static_cast<I*>(this), ti, id, flags, params, result, excep, argErr);
    }

  protected:
    DispatchImpl() = default;
    ~DispatchImpl()
    {
        if (m_typeInfo)
            m_typeInfo->Release();
    }
    DispatchImpl(const DispatchImpl&) = delete;
    DispatchImpl& operator=(const DispatchImpl&) = delete;

  private:
    // Loaded on first use and kept by the object; a race between two threads keeps the
    // first one published and drops the other. The pointer is borrowed.
    HRESULT TypeInfo(ITypeInfo** borrowed) noexcept
    {
        if (ITypeInfo* ti = m_typeInfo)
        {
            *borrowed = ti;
            return S_OK;
        }
        ITypeInfo* loaded = nullptr;
        HRESULT hr = LoadModuleTypeInfo(ThisModule(), __uuidof(I), &loaded);
        if (FAILED(hr))
            return hr;
        if (::InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&m_typeInfo), loaded,
                                                nullptr))
            loaded->Release();
        *borrowed = m_typeInfo;
        return S_OK;
    }

    ITypeInfo* volatile m_typeInfo = nullptr;
};
