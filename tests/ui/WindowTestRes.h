#pragma once
// The window toolkit tests' dialog template.
#define IDD_WINDOW_TEST 100
#define IDC_TEST_EDIT 1001
