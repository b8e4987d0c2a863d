#pragma once
// CNVPCUpdaterModule: the updater as the loader control's out-of-process COM server. With a
// registration switch it writes (or removes) the control's registry entries and its type
// library; otherwise it serves the class objects it is given on the main thread's message
// loop until the last object and lock are released, then pauses a second and ends.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

// A class the server hands out: its identifier and a factory made when the server starts.
struct ServedClass
{
    const CLSID* clsid;
    IClassFactory* (*makeFactory)(); // a new reference
};

class CNVPCUpdaterModule
{
  public:
    enum Switch
    {
        SWITCH_NONE, // run as server (COM passes Embedding)
        SWITCH_REGSERVER,
        SWITCH_UNREGSERVER,
        SWITCH_REGSERVER_PER_USER,
        SWITCH_UNREGSERVER_PER_USER,
    };

    // The first recognised switch of a command line: each begins with '-' or '/', compared
    // without case; anything else is skipped up to the next '-' or '/'.
    static Switch ParseSwitches(const wchar_t* commandLine);

    explicit CNVPCUpdaterModule(std::vector<ServedClass> classes);
    ~CNVPCUpdaterModule();
    CNVPCUpdaterModule(const CNVPCUpdaterModule&) = delete;
    CNVPCUpdaterModule& operator=(const CNVPCUpdaterModule&) = delete;

    // The module's run: registration, or the server. The process's exit code (an HRESULT).
    HRESULT Run(const wchar_t* commandLine);

    // Registration of the class (script REGISTRY 107, after the application identifier's
    // 101) and of the type library, per machine or for the current user; unregistration
    // the other way round. module is the program whose resources and path are used.
    static HRESULT RegisterServer(HMODULE module, bool perUser);
    static HRESULT UnregisterServer(HMODULE module, bool perUser);

    // Every served object and every LockServer lock holds the server process.
    static void Lock();
    static void Unlock();

    // The miscellaneous status the control is registered with.
    static const DWORD kOleMisc = 0x20191;
    // The pause between the end of the message loop and the end of the run.
    static const DWORD kShutdownPauseMs = 1000;

  private:
    HRESULT RunServer();
    static DWORD WINAPI ShutdownThread(LPVOID self);

    std::vector<ServedClass> m_classes;
    DWORD m_mainThread;
};

// The lock hooks of the toolkit (ComObject's ModuleLock, ComClassFactory's ServerLock) for
// the classes this server hands out.
struct ExeServerLock
{
    static void Lock() { CNVPCUpdaterModule::Lock(); }
    static void Unlock() { CNVPCUpdaterModule::Unlock(); }
};
