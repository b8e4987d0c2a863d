#pragma once
// A class factory for T (an IUnknown implementation of ComObject.h). Aggregation is
// refused. The server supplies the hooks: ServerLock counts IClassFactory::LockServer
// (a DLL's unload count, an exe server's CoAddRefServerProcess), FactoryLock what the
// factory's own life holds (a DLL counts it; an exe server's registered factory must not,
// or the server would never end).
//
//   ComPtr<IClassFactory> factory = MakeCom<ComClassFactory<CThing, DllLock, DllLock>>();
#include "common/ComObject.h"

template <typename T, typename ServerLock = NoModuleLock, typename FactoryLock = NoModuleLock>
class ComClassFactory : public IClassFactory
{
  public:
    using Interfaces = ComInterfaces<IClassFactory>;
    using ModuleLock = FactoryLock;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return CreateComInstance<T>(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            ServerLock::Lock();
        else
            ServerLock::Unlock();
        return S_OK;
    }
};
