#pragma once
// CVersionCheck: the version check of the two update dialogs. After an update archive was
// unpacked and its files were placed by the "/CopyFile" run, the versions that the
// update's manifests announce must be the versions of the manifests now installed in the
// product's config folder. The dialog (or the workflow it shares) owns one object and
// calls it on the dialog's thread only.
//
// Reading rules (the "ver" attribute of a "files_info" root, its name compared without
// regard to case, the attribute name exactly):
// - a missing manifest, one that does not parse, has another root or lacks "ver" leaves
//   its text as it was; so a missing update manifest disables its comparison, and a
//   missing installed manifest next to a present update manifest fails the check;
// - a "ver" of 20 or more bytes does not fit the 20-byte text and is never cut (a cut
//   version could equal another one). It leaves the text as it was, like an unreadable
//   manifest, with one difference for the update's manifests: an update that announces a
//   version we cannot verify must not pass, so such an update manifest fails the
//   comparison of its kind (" (7-1)" master, " (7-2)" product) until a later read of
//   that manifest gives a version that fits;
// - an empty folder means "no manifests": a bare manifest name would be looked up in the
//   process's current folder, whatever that happens to hold. So without a downloaded
//   archive the update texts stay empty and the check passes, and without a known
//   install folder the installed texts stay empty (and a present update version fails).
//   Paths that would not fit 260 characters, and a product ID that is not a plain file
//   name, likewise read nothing.
#include <string>

class CParam;

class CVersionCheck
{
  public:
    enum
    {
        kVersionBytes = 20, // one version text, terminating zero included
    };

    // className is the dialog's class ("CNVPCUpdaterDlg", "CNVPCJustUpdaterDlg"): it
    // starts the getXMLVersion log line. param outlives this object.
    CVersionCheck(CParam* param, const wchar_t* className);

    // Zeroes the four version texts (the dialog's initialisation).
    void Reset();

    // Reads "ver" of folder + masterName + ".xml" into masterVer, then of folder +
    // productId + ".xml" into productVer. folder ends with a backslash or is empty (then
    // nothing is read). Each result tells what became of its text.
    enum ReadResult
    {
        kUnchanged, // nothing usable: the text is as it was
        kRead,      // the text now holds the manifest's version
        kOverlong,  // "ver" was present but too long for the text, which is as it was
    };
    struct ReadResults
    {
        ReadResult master;
        ReadResult product;
    };
    ReadResults getXMLVersion(const wchar_t* folder, const wchar_t* masterName,
                              char (&masterVer)[kVersionBytes], const wchar_t* productId,
                              char (&productVer)[kVersionBytes]);

    // The unpacked update: DownPath without its extension, plus a backslash.
    void readUpdateVersions();
    // The installed manifests: GetInstallFolder() + "\config\".
    void readInstalledVersions();

    // Reads the installed versions, logs the four texts and compares them with the
    // update's. 1: the installation matches (errorSuffix untouched). 0: errorSuffix is
    // " (7-1)" (master) or " (7-2)" (product); arming the failure timer 107 with 200 ms
    // is then the caller's job.
    int checkCompleteVersion(std::wstring& errorSuffix);

    const char* MasterUpdateVersion() const { return m_masterUpdVer; }
    const char* MasterInstalledVersion() const { return m_masterNewVer; }
    const char* ProductUpdateVersion() const { return m_productUpdVer; }
    const char* ProductInstalledVersion() const { return m_productNewVer; }

  private:
    // getXMLVersion on folder with this product's two manifest names.
    ReadResults readVersions(const std::wstring& folder, char (&masterVer)[kVersionBytes],
                             char (&productVer)[kVersionBytes]);

    CParam* m_param;
    std::wstring m_className;
    // In the dialog's order: master update, master installed, product update, product
    // installed.
    char m_masterUpdVer[kVersionBytes];
    char m_masterNewVer[kVersionBytes];
    char m_productUpdVer[kVersionBytes];
    char m_productNewVer[kVersionBytes];
    // The last read of the update's manifest found a version too long to hold.
    bool m_masterUpdOverlong;
    bool m_productUpdOverlong;
};
