#pragma once
// The entry of both programs built from this folder, the updater and the launcher: the
// shared services around a run, the choice of one mode from the command line, and the
// loader, link, link-file, placement and proxy modes. What the programs differ in is
// passed as data (ProgramTraits), never as copied code.
#include <windows.h>

#include <string>

#include "params/Param.h"

struct ProgramTraits
{
    // The updater runs nothing for an empty command line; the launcher runs an empty link.
    bool emptyLineIsLink;
    // The updater tests for "norvane:" before ".nvpc"; the launcher leaves the prefix to
    // the link parser.
    bool testsLinkPrefix;
    // The updater applies a link's validity window; the launcher parses the times only.
    bool checksLinkTime;
    // The launcher logs "_tWinMain : param=%s" once its services run.
    bool logsCommandLine;
    // The updater's COM server (registration switches and serving the loader control);
    // null: a command line that is nothing else is a link.
    int (*comServer)(int showCommand);
};

extern const ProgramTraits kUpdaterTraits;
extern const ProgramTraits kLauncherTraits;

enum class ProgramMode
{
    None,      // empty command line of the updater: nothing runs
    Loader,    // "/Loader": update check before the installed client runs
    Proxy,     // "/Proxy": the proxy settings
    CopyFile,  // "/CopyFile ...": place the files of an update (elevated copy)
    Link,      // a "norvane:" link
    LinkFile,  // the path of a ".nvpc" link file
    ComServer, // the updater, anything else: the loader control's COM server
};

struct ProgramModeChoice
{
    ProgramMode mode;
    // CopyFile: the command line after the switch; otherwise the command line as given.
    const wchar_t* argument;
};

// The whole run of a program: services up, one mode, services down. The exit code of the
// COM server mode, else 0. Nothing escapes.
int RunProgram(const ProgramTraits& traits, HINSTANCE instance, const wchar_t* commandLine, int showCommand);

// The program's instance, kept by the entry point: every resource (strings, dialogs,
// bitmaps) is loaded from it.
void SetProgramInstance(HINSTANCE instance);
HINSTANCE ProgramInstance();

// The mode of a command line (the program name already removed). The switches are
// matched as prefixes ignoring case ("/loaderX" selects the loader mode); the link tests
// are case-sensitive substring tests.
ProgramModeChoice ChooseMode(const ProgramTraits& traits, const wchar_t* commandLine);

// "/Loader": the configuration file beside the program fills the record, the product
// folder is the program's own folder, and the workflow of RunType runs modally.
int RunLoaderMode();

// A launch link, from the command line (linkFilePath null) or read from a link file.
// A link outside its validity window ends silently (where the program checks it); a link
// that asks for another launcher version asks the user and runs no workflow.
int RunLinkMode(const ProgramTraits& traits, const wchar_t* link, const wchar_t* linkFilePath);

// The command line names a link file: its first line is the link.
int RunLinkFileMode(const ProgramTraits& traits, const wchar_t* commandLine);

// "/CopyFile" with the rest of its command line: the manifest-driven placement of an
// unpacked update (RunFilePlacement). Always 0.
int RunCopyFileMode(const wchar_t* arguments);

// The workflow RunType selects: 0 update dialog, 1 setup dialog, 3 extended setup
// dialog, 2 direct start without update check; any other value runs nothing.
void RunWorkflow(CParam& param);

// Link mode, different launcher version: string 219 in a Yes/No question box (caption
// CaptionText); on Yes the page of UpdateURL opens. Returns the box's answer.
int AskForNewLauncher(const CParam& param);

// Strips blanks and one pair of enclosing double quotes from a path as the shell passes
// it ("C:\a b\x.nvpc" in quotes); anything else stays as it is.
std::wstring UnquotePath(const wchar_t* commandLine);
