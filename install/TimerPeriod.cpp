#include "install/TimerPeriod.h"

#include <atomic>

namespace
{
std::atomic<CTimerPeriod::PeriodFn> g_begin{nullptr};
std::atomic<CTimerPeriod::PeriodFn> g_end{nullptr};

template <typename Fn> Fn Lookup(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}
} // namespace

void CTimerPeriod::SetCalls(PeriodFn begin, PeriodFn end)
{
    g_begin = begin;
    g_end = end;
}

CTimerPeriod::CTimerPeriod()
{
    PeriodFn begin = g_begin.load();
    m_end = g_end.load();
    if (!begin || !m_end)
    {
        m_winmm = ::LoadLibraryW(L"winmm.dll");
        if (!m_winmm)
            return;
        begin = Lookup<PeriodFn>(m_winmm, "timeBeginPeriod");
        m_end = Lookup<PeriodFn>(m_winmm, "timeEndPeriod");
        if (!begin || !m_end)
            return;
    }
    m_granted = begin(kPeriodMs) == 0; // TIMERR_NOERROR
}

CTimerPeriod::~CTimerPeriod()
{
    if (m_granted)
        m_end(kPeriodMs);
    if (m_winmm)
        ::FreeLibrary(m_winmm);
}
