#pragma once
// "/Proxy": shows the proxy settings component's settings dialog and ends. Nothing is
// read back; without the component nothing happens. Needs COM initialised (the entry
// point does). Always 0.
int RunProxyMode();
