#pragma once
// Resource identifiers of the proxy settings component.
#define IDD_PROXY_SETTINGS 100
#define IDC_PROXY_TYPE 1001
#define IDC_PROXY_HOST 1002
#define IDC_PROXY_PORT 1003
#define IDC_PROXY_USER 1004
#define IDC_PROXY_PASSWORD 1005
