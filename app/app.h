// Process-wide state and the procedures shared by the parts of the Windows setup program.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "apply.h"
#include "files.h"
#include "joblog.h"
#include "search.h"
#include "ui.h"

// Path buffers of kPathMax bytes, for the life of the program.
extern char PackagePath[kPathMax];
extern char UiTextPath[kPathMax];
extern char TargetFolder[kPathMax];
extern HINSTANCE AppInstance;
// Null before the main dialog exists and after it closed.
extern HWND MainDialog;
// The log of this run, BASE.log in the temporary folder; set for the whole of WinMain.
extern JobLog* RunLog;
// The packages of the bundle: PackagePath first, then its sibling packages from earlier
// releases that passed the setup check; and the index of the one shown and applied, which the
// search and then the folder the person picks decide.
extern std::vector<std::string> BundlePackages;
extern int ChosenPackage;
const char* ActivePackage();
// Takes the bundle's package that fits folder (the base package when none does); 1 when that
// changed which package is active.
int ChoosePackageFor(const char* folder);

// Dialog procedures, exported as WndProc, UpgSearchDlg and UpgProgressDlg (aliases the link
// makes, app/CMakeLists.txt).
extern "C" INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern "C" INT_PTR CALLBACK SearchDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern "C" INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Text inside is UTF-8; the windows show it through the wide calls.
std::wstring WideText(const char* utf8);
// out (capacity bytes) = wide in UTF-8; 0, with out empty, when it does not fit.
int Utf8Text(const wchar_t* wide, char* out, size_t capacity);
// MessageBoxW over UTF-8 text and caption.
int ShowMessage(HWND owner, const char* text, const char* caption, UINT type);
// Memory that runs out throws std::bad_alloc; it is caught where this program's own code is
// entered (WinMain, and the main window's steps that run the engine), told in this box, and
// ends that step only. Nothing more is done; a commit cut short finishes on the next run.
void TellOutOfMemory(HWND owner);

// Start-up.
const char* CommandTail(const char* commandLine);
const wchar_t* CommandTail(const wchar_t* commandLine);
int CheckPackageFile(const char* path);
// Whether this process runs with administrator rights (an elevated token).
int RunningElevated();
// Starts this program again with administrator rights and the same command-line tail (the
// system asks the person first); 1 when it started. ElevatedRunStarted is then set, and this
// run ends once the apply has returned.
int RunAgainElevated(HWND owner);
extern int ElevatedRunStarted;

// Main dialog.
int ShowPackageText(const char* packagePath, HWND titleWindow, HWND notesWindow);
void ShowTargetFolder(HWND dialog, int staticId, const char* folder);
int BrowseForFolder(HWND mainWindow);
ApplyOutcome ApplyToFolder(const char* packagePath, const char* targetFolder, HWND mainWindow);
void CloseMainDialog();

// Progress view.
void DrawProgressBar(HWND dialog, int controlId, int percent);
void CentreWindow(HWND window);

// The engine's questions, progress view and pump, over the Win32 dialogs.
class Win32UserInterface : public UserInterface {
public:
    void* OpenProgress(void* instance, void* ownerWindow, ProgressState* progress) override;
    void CloseProgress(void* view) override;
    void EnableOwner(void* ownerWindow, int enable) override;
    void SetCaption(void* view, const char* text) override;
    void SetItemText(void* view, int item, const char* text) override;
    void Repaint(void* view) override;
    void DrawBar(void* view, int percent) override;
    void PumpEvents(void* view) override;
    void WaitEvents(void* view, uint32_t milliseconds) override;
    int AskYesNo(void* view, const char* text, const char* caption) override;
    void Inform(void* view, const char* text, const char* caption) override;
    int AskRetry(void* view, const char* text, const char* caption) override;
    int OfferElevation(void* view, const char* text, const char* offer, const char* caption) override;
    uint32_t Ticks() override;

private:
    DWORD lastLook = 0;   // tick of the last look at the message queue
    int lookNow = 1;      // the next poll looks whatever the tick
};

// The walk's queue and folder lister as two hidden list boxes, drive types from the system,
// and the hourglass.
class Win32SearchPlatform : public SearchPlatform {
public:
    Win32SearchPlatform(HINSTANCE instance, HWND owner);
    ~Win32SearchPlatform() override;
    int FixedRoot(int index, char* root) override;
    void QueueAdd(const char* path) override;
    int QueueCount() override;
    void QueueTake(char* out) override;
    void ListFolders(const char* pattern) override;
    int ListCount() override;
    void ListTake(char* out) override;
    void ListClear() override;
    void ShowWait(int on) override;

private:
    Win32SearchPlatform(const Win32SearchPlatform&) = delete;
    Win32SearchPlatform& operator=(const Win32SearchPlatform&) = delete;
    HWND folderQueue;
    HWND dirLister;
    HCURSOR keptCursor;
    int waitShown;
};
