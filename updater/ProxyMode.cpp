#include "updater/ProxyMode.h"

#include "ui/ComeExeWareUtil.h"

int RunProxyMode()
{
    CComeExeWareUtil util;
    util.ShowProxySettings(); // a missing component is no error for this mode
    return 0;
}
