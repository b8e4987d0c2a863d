#pragma once
// String table identifiers shared by the programs' resources and code.
#define IDS_UPDATER_CAPTION 200 // "%s Updater"
#define IDS_CHECK_UPDATE 201
#define IDS_CHECK_INSTALLED 202
#define IDS_CHECK_NEW_UPDATE 203
#define IDS_DOWNLOAD_SETUP 204
#define IDS_DOWNLOAD_UPDATE 205
#define IDS_RUN_SETUP 206
#define IDS_UPDATING_FILES 207
#define IDS_APPLY_UPDATE 208
#define IDS_FINISHED 209 // formatted with the title
#define IDS_FAILED 210
#define IDS_ALREADY_RUNNING 211
#define IDS_CANCEL 212
#define IDS_CLIENT_RUNNING 213 // formatted with the title
#define IDS_NO_UPGRADE_RESPONSE 214
#define IDS_CLIENT_NOT_STARTED 215
#define IDS_SETUP_FINISHED 216 // formatted with the title
#define IDS_SETUP_CAPTION 217  // formatted with the title
#define IDS_PROXY_SETTINGS 218
#define IDS_LAUNCHER_UPGRADED 219

#define IDS_FIRST IDS_UPDATER_CAPTION
#define IDS_LAST IDS_LAUNCHER_UPGRADED

// Skin bitmaps and the program icon (ui/Skin.rc).
#define IDB_SKIN_BUTTONS 204    // 376 x 26: four 94 x 26 faces, normal, hot, pressed, disabled
#define IDB_SKIN_BACKGROUND 205 // 400 x 167, painted in nine pieces
#define IDI_APP 206

// The workflow dialogs' template (ui/Skin.rc) and its two progress bars.
#define IDD_SKIN_DIALOG 111
#define IDC_PROGRESS_FIRST 202
#define IDC_PROGRESS_SECOND 203
