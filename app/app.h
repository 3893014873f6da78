// Process-wide state and the procedures shared by the parts of the Windows setup program.
#pragma once
#include <windows.h>
#include "apply.h"
#include "joblog.h"
#include "search.h"
#include "ui.h"

// Path buffers of kPathMax bytes, allocated at start-up and never freed.
extern char* PackagePath;
extern char* UiTextPath;
extern char* TargetFolder;
extern HINSTANCE AppInstance;
// Null before the main dialog exists and after it closed.
extern HWND MainDialog;
// The log of this run, BASE.log in the temporary folder; set for the whole of WinMain.
extern JobLog* RunLog;

// Dialog procedures, exported under these names.
extern "C" __declspec(dllexport) INT_PTR CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern "C" __declspec(dllexport) INT_PTR CALLBACK UpgSearchDlg(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern "C" __declspec(dllexport) INT_PTR CALLBACK UpgProgressDlg(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Start-up.
extern const char kSetupRefused[];   // "Missing or invalid setup data."
const char* CommandTail(const char* commandLine);
int CheckPackageFile(const char* path);

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
    int AskYesNo(void* view, const char* text, const char* caption) override;
    void Inform(void* view, const char* text, const char* caption) override;
    uint32_t Ticks() override;

private:
    DWORD lastLook = 0;   // tick of the last look at the message queue
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
