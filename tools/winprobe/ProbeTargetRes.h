#pragma once
// Identifiers of the probe target's dialog.
#define IDD_PROBE_TARGET 111
#define IDC_PROBE_GO 1001
#define IDC_PROBE_STATUS 1002
#define IDC_PROBE_HIDDEN 1003
#define IDC_PROBE_DISABLED 1004
#define IDC_PROBE_PROGRESS 202
