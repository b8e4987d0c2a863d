#pragma once
// The command-line modes of the updater program. The entry point (NVPCUpdater.cpp)
// starts the shared services, picks one mode with ChooseUpdaterMode and runs it; each
// mode is one function here (or in its own file, like the proxy settings mode).
#include <windows.h>

#include "params/Param.h"

enum class UpdaterMode
{
    None,      // no command line: nothing runs
    Loader,    // "/Loader": update check before the installed client runs
    Proxy,     // "/Proxy": the proxy settings
    CopyFile,  // "/CopyFile ...": place the files of an update (elevated copy)
    Link,      // a "norvane:" link
    LinkFile,  // the path of a ".nvpc" link file
    ComServer, // anything else: the loader control's COM server
};

struct UpdaterModeChoice
{
    UpdaterMode mode;
    // CopyFile: the command line after the switch; Link and LinkFile: the whole command
    // line; otherwise the command line as given.
    const wchar_t* argument;
};

// The program's instance, kept by the entry point: every resource (strings, dialogs,
// bitmaps) is loaded from it.
void SetUpdaterInstance(HINSTANCE instance);
HINSTANCE UpdaterInstance();

// The mode of a command line (the program name already removed). The switches are
// matched as prefixes ignoring case ("/loaderX" selects the loader mode); the link tests
// are case-sensitive substring tests, "norvane:" before ".nvpc".
UpdaterModeChoice ChooseUpdaterMode(const wchar_t* commandLine);

// "/Loader": the configuration file beside the program fills the record, the product
// folder is the program's own folder, and the workflow of RunType runs modally.
int RunLoaderMode();

// A launch link, from the command line (linkFilePath null) or read from a link file.
// A link outside its validity window ends silently; a link that asks for another
// launcher version asks the user and runs no workflow.
int RunLinkMode(const wchar_t* link, const wchar_t* linkFilePath);

// The command line names a link file: its first line is the link.
int RunLinkFileMode(const wchar_t* commandLine);

// "/CopyFile" with the rest of its command line: the manifest-driven placement of an
// unpacked update (RunFilePlacement). Always 0.
int RunCopyFileMode(const wchar_t* arguments);

// Everything that is no switch of ours: the loader control's COM server module runs here
// once it exists; until then the mode is recognised and does nothing.
int RunComServerMode(int showCommand);

// The workflow RunType selects: 0 update dialog, 1 setup dialog, 3 extended setup
// dialog, 2 direct start without update check; any other value runs nothing.
void RunWorkflow(CParam& param);

// Link mode, different launcher version: string 219 in a Yes/No question box (caption
// CaptionText); on Yes the page of UpdateURL opens. Returns the box's answer.
int AskForNewLauncher(const CParam& param);

// Strips blanks and one pair of enclosing double quotes from a path as the shell passes
// it ("C:\a b\x.nvpc" in quotes); anything else stays as it is.
std::wstring UnquotePath(const wchar_t* commandLine);
