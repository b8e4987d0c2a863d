#pragma once
// CTimerPeriod: asks the system for a 1 ms timer resolution while it lives, so that the
// downloader's 1 ms pause after each read lasts about 1 ms on Windows too (the default
// tick is about 15.6 ms, which would slow a paced download about tenfold). The calls are
// looked up in winmm.dll at run time; a system without them just keeps its tick.
#include <windows.h>

class CTimerPeriod
{
  public:
    typedef UINT(WINAPI* PeriodFn)(UINT period);

    CTimerPeriod();
    // Gives the resolution back whenever it was granted, on every path out.
    ~CTimerPeriod();
    CTimerPeriod(const CTimerPeriod&) = delete;
    CTimerPeriod& operator=(const CTimerPeriod&) = delete;

    bool Granted() const { return m_granted; }

    // Lets a test see the requests: both replace the system's calls until reset with nulls.
    static void SetCalls(PeriodFn begin, PeriodFn end);

    static const UINT kPeriodMs = 1;

  private:
    HMODULE m_winmm = nullptr;
    PeriodFn m_end = nullptr;
    bool m_granted = false;
};
