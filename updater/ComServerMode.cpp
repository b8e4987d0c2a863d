#include "updater/ComServerMode.h"

#include <shlwapi.h>

#include "common/ComAggregate.h"
#include "common/ComObject.h"
#include "updater/NVPCLoader.h"
#include "updater/NVPCUpdaterModule.h"
#include "updater/ProgramEntry.h"

namespace
{
// The loader control's class object: the control may be aggregated, and every control and
// every LockServer lock holds the server process. The registered factory itself does not,
// or the server would never end.
class CLoaderClassFactory : public IClassFactory
{
  public:
    using Interfaces = ComInterfaces<IClassFactory>;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        return CreateAggregatable<CNVPCLoader, ExeServerLock>(outer, iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            ExeServerLock::Lock();
        else
            ExeServerLock::Unlock();
        return S_OK;
    }
};

IClassFactory* MakeLoaderFactory()
{
    return MakeCom<CLoaderClassFactory>().detach();
}
} // namespace

int RunComServerMode(int /*showCommand*/)
{
    CNVPCUpdaterModule module({{&CLSID_NVPCLoader, &MakeLoaderFactory}});
    return static_cast<int>(module.Run(::PathGetArgsW(::GetCommandLineW())));
}

// The updater's differences live beside its COM server, so that only the updater links it.
const ProgramTraits kUpdaterTraits = {
    /*emptyLineIsLink*/ false,
    /*testsLinkPrefix*/ true,
    /*checksLinkTime*/ true,
    /*logsCommandLine*/ false,
    /*comServer*/ RunComServerMode,
};
