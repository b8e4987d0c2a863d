#pragma once
// CProductRunner: the run-only workflow. Looks up the company server, then starts the
// client with its command line; no window of its own.
#include <windows.h>

#include "net/ServerHandler.h"

class CParam;

class CProductRunner
{
  public:
    explicit CProductRunner(CParam* param);
    virtual ~CProductRunner();
    // 1 when the lookup succeeded and the client started, else 0. window is not used.
    int Run(HWND window);

  private:
    CParam* m_param;
    CServerHandler m_handler;
};
