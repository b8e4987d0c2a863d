#pragma once
// CUnzipMove: the "/CopyFile" step. Reads the master and the product manifest from the
// folder an update archive was unpacked into, places every listed file into the
// installation folder, runs the entries marked as programs, places the two manifests
// last, and removes the archive.
#include <windows.h>

#include <string>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "install/PathSafety.h"

struct UnzipMoveEntry
{
    wchar_t name[100];  // relative to the unpack folder and to the destination folder
    wchar_t ipath[260]; // destination folder relative to the installation folder
    int type;           // 1: a program to run; anything else: a file to place
};

class CUnzipMove
{
  public:
    enum
    {
        kNameChars = 100,
        kIpathChars = 260,
        kPackageChars = 260,
        kMasterChars = 261,
        kProductChars = 260,
        kInstallChars = 260,
    };

    CUnzipMove();
    CUnzipMove(const CUnzipMove&) = delete;
    CUnzipMove& operator=(const CUnzipMove&) = delete;

    // The whole run on the command line that followed "/CopyFile". 1 when every listed
    // file was placed (and the archive removed), 0 otherwise. When an entry fails, the
    // manifests are not placed, so the installed ones keep describing the old state, and
    // the archive and the unpack folder stay for the next attempt.
    int Apply(const wchar_t* commandLine);

    // "/DNP", "/MML", "/PML", "/SEP" with their values. False when one is missing, empty,
    // longer than its field, or (for the manifest names) not a plain file name.
    bool ParseArgs(const wchar_t* commandLine);
    // Lists the entries of unpack folder\name.xml that exist in the unpack folder, once per
    // file: names are compared with '\' for '/', without "." parts and regardless of case.
    void parseXMLFile(const wchar_t* name);
    // Places unpack folder\name as installation folder\ipath\name. 1 on success, else 0;
    // on failure the installed file is left as it was.
    int MovefileCust(const wchar_t* ipath, const wchar_t* name);
    // Runs unpack folder\name and waits. 1 when it ended with exit code 0, else 0.
    int RunEntry(const wchar_t* name);
    // Creates the last level of path when its parent exists. True when path is a folder.
    static bool MakeFolder(const wchar_t* path);

    const std::vector<UnzipMoveEntry>& GetEntries() const { return m_entries; }
    const wchar_t* GetPackagePath() const { return m_packagePath; }
    const wchar_t* GetMasterName() const { return m_masterName; }
    const wchar_t* GetProductName() const { return m_productName; }
    const wchar_t* GetInstallFolder() const { return m_installFolder; }
    const wchar_t* GetUnpackFolder() const { return m_unpackFolder.c_str(); }

    // Entries refused while their file lies in the unpack folder (or whose name leaves
    // it): each is a failed entry of the run.
    int GetRefusedCount() const { return m_refusedEntries; }

  private:
    void AddEntry(const std::wstring& name, const std::wstring& ipath, int type);
    // The names a destination folder holds (by FileNameKey), read the first time the folder
    // is asked for in this run, when the leftovers of earlier runs are removed from it;
    // null when the folder could not be read. Under Wine every lookup of a missing name
    // reads its whole folder: with these, only names that are there are looked up.
    std::unordered_set<std::wstring>* FolderNames(const std::wstring& folder);

    // True when the unpack folder or a level of rel below it is a link, as far as the source's
    // check by handle does not show it anyway.
    bool UnpackPathHasLink(const std::wstring& rel);
    // The installation's folder rel (below install), opened level by level for this run.
    HANDLE InstallLevel(const std::wstring& install, const std::wstring& rel);

    wchar_t m_packagePath[kPackageChars];
    wchar_t m_masterName[kMasterChars];
    wchar_t m_productName[kProductChars];
    wchar_t m_installFolder[kInstallChars];
    std::wstring m_unpackFolder; // with a trailing backslash
    std::vector<UnzipMoveEntry> m_entries;
    std::unordered_set<std::wstring> m_entryKeys; // FileNameKey of each listed name
    int m_refusedEntries;
    // By FileNameKey of the folder; a folder that could not be read has no set.
    std::unordered_map<std::wstring, std::unique_ptr<std::unordered_set<std::wstring>>> m_folderNames;
    FolderFinalPaths m_folderPaths;                    // of the folders checked in this run
    std::unique_ptr<PinnedFolders> m_installLevels;    // for m_installLevelsBase
    std::wstring m_installLevelsBase;
    std::wstring m_unpackBaseChecked; // the unpack folder looked at by name, once
    bool m_unpackBaseLinked = false;
    std::vector<char> m_copyBuffer;                    // made at the first copy
};

// The "/CopyFile" mode of the programs, given everything after the switch. Always 0: the
// waiting workflow learns the outcome from the manifests the run placed or kept.
int RunFilePlacement(const wchar_t* arguments);
