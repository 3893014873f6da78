// The main dialog: package title and notes, the target folder and its chooser, Apply and Done.
#include "app.h"
#include <commctrl.h>
#include <commdlg.h>
#include <new>
#include <string.h>
#include <string>
#include "apply.h"
#include "controls.h"
#include "files.h"
#include "job.h"
#include "session.h"
#include "uitext.h"

// Set after a successful apply and never cleared: Apply has become Done.
static int ApplyDone;
// The progress state of the apply that runs now, null outside one. While it is set the main
// window's messages arrive only from the apply's own pump: closing becomes a cancel request,
// a second Apply is ignored.
static ProgressState* RunningApply;

static const char kTargetTooLong[] = "The path of the chosen folder is too long for this upgrade.";
// Filled anew before every use of the folder chooser.
static OPENFILENAMEW BrowseRecord;

static int ShowPackageTextOf(const char* packagePath, HWND titleWindow, HWND notesWindow)
{
    PackageReader reader(packagePath);
    if (!reader.IsValid()) return 0;
    // An empty title leaves the template's caption.
    if (titleWindow && !reader.title.empty()) SetWindowTextW(titleWindow, WideText(reader.title.c_str()).c_str());
    if (notesWindow) SetWindowTextW(notesWindow, WideText(reader.notes.c_str()).c_str());
    return 1;
}

int ShowPackageText(const char* packagePath, HWND titleWindow, HWND notesWindow)
{
    try {
        return ShowPackageTextOf(packagePath, titleWindow, notesWindow);
    } catch (const std::bad_alloc&) {
        TellOutOfMemory(GetParent(notesWindow));
    }
    return 0;
}

void ShowTargetFolder(HWND dialog, int staticId, const char* folder)
{
    // DlgDirListA makes the folder current and rewrites its buffer; the guard puts the current
    // directory back and the copy keeps the caller's text intact.
    CurrentDirectoryGuard guard;
    wchar_t copy[MAX_PATH];
    lstrcpynW(copy, WideText(folder).c_str(), MAX_PATH);
    DlgDirListW(dialog, copy, 0, staticId, 0);
}

int BrowseForFolder(HWND mainWindow)
{
    // The old-style dialog only closes on OK with a plain file name in place; the hidden name
    // field holds it, and the folder is what precedes it.
    wchar_t wide[MAX_PATH] = L"Target";
    std::wstring initial = WideText(TargetFolder);
    memset(&BrowseRecord, 0, sizeof BrowseRecord);
    // The size of the record as the old-style dialog knows it, without the later additions.
    BrowseRecord.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
    BrowseRecord.hwndOwner = mainWindow;
    BrowseRecord.hInstance = AppInstance;
    BrowseRecord.lpstrFile = wide;
    BrowseRecord.nMaxFile = MAX_PATH;
    BrowseRecord.lpstrInitialDir = initial.c_str();
    BrowseRecord.lpstrTitle = L"Browse";
    BrowseRecord.lpTemplateName = L"BROWSE";
    BrowseRecord.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_ENABLETEMPLATE | OFN_PATHMUSTEXIST;
    if (LOBYTE(LOWORD(GetVersion())) >= 4) BrowseRecord.Flags |= OFN_LONGNAMES;
    if (GetSaveFileNameW(&BrowseRecord) != 1) return 0;
    UpdateWindow(mainWindow);
    char file[kPathMax];
    // A folder whose UTF-8 name does not fit a path buffer cannot be the target.
    if (!Utf8Text(wide, file, kPathMax)) {
        ShowMessage(mainWindow, kTargetTooLong, "Error", MB_OK | MB_ICONERROR);
        return 0;
    }

    char* cut = strrchr(file, '\\');
    if (cut) *cut = 0;
    if (strlen(file) >= 3) {
        lstrcpynA(TargetFolder, file, kPathMax);
    } else {
        // A drive root such as D: keeps its backslash.
        lstrcpynA(TargetFolder, file, kPathMax - 1);
        strcat(TargetFolder, "\\");
    }
    return 1;
}

static ApplyOutcome ApplyWithSession(const char* packagePath, const char* targetFolder, HWND mainWindow)
{
    // The session's teardown re-enables the main window and closes the progress view.
    Win32UserInterface ui;
    UpgradeJob job(packagePath, targetFolder);
    ApplySession host(&job, &ui, AppInstance, mainWindow);
    host.log = RunLog;
    // An apply never ends without a word: what the engine cannot start on is told here.
    if (!job.IsValid()) {
        RunLog->Note(std::string("not started: ") + (job.targetTooLong ? kTargetTooLong : kSetupRefused) + " " +
                     targetFolder);
        ShowMessage(mainWindow, job.targetTooLong ? kTargetTooLong : kSetupRefused, "Error", MB_OK | MB_ICONERROR);
        return ApplyNotStarted;
    }
    host.wording.reset(new UiTextTable(UiTextPath));
    RunningApply = &host.progress;
    ApplyOutcome outcome = ApplyUpgrade(&host);
    RunningApply = nullptr;
    return outcome;
}

ApplyOutcome ApplyToFolder(const char* packagePath, const char* targetFolder, HWND mainWindow)
{
    // The session's teardown has closed the view and enabled the window again by the time an
    // exception arrives here.
    try {
        return ApplyWithSession(packagePath, targetFolder, mainWindow);
    } catch (const std::bad_alloc&) {
        RunningApply = nullptr;
        TellOutOfMemory(mainWindow);
    }
    return ApplyNotStarted;
}

// Applied now, or found applied already: either way Apply has become Done.
static int IsSuccess(ApplyOutcome outcome) { return outcome == ApplyApplied || outcome == ApplyUpToDate; }

// The shield on Apply when the chosen folder is one this user may not change and the program
// could get the rights by running again elevated.
static void ShowShield(HWND window)
{
    int shield = !RunningElevated() && !FolderWritable(TargetFolder);
    SendMessageA(GetDlgItem(window, IDC_MAIN_APPLY), BCM_SETSHIELD, 0, shield);
}

void CloseMainDialog()
{
    if (MainDialog) {
        DestroyWindow(MainDialog);
        PostQuitMessage(0);
    }
    MainDialog = nullptr;
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        ShowPackageText(ActivePackage(), window, GetDlgItem(window, IDC_MAIN_NOTES));
        ShowTargetFolder(window, IDC_MAIN_FOLDER_TEXT, TargetFolder);
        ShowShield(window);
        return 1;
    case WM_CLOSE:
        if (RunningApply)
            RunningApply->OnCommand();
        else
            CloseMainDialog();
        return 1;
    case WM_COMMAND:
        // The whole parameter is compared, so only clicks and the Escape key's IDCANCEL act.
        if (RunningApply) {
            // Posted to the disabled window while an apply pumps its messages: a close or a
            // cancel asks the apply to cancel, with its confirmation; nothing else acts.
            if (wParam == IDCANCEL) RunningApply->OnCommand();
        } else if (wParam == IDCANCEL) {
            CloseMainDialog();
        } else if (wParam == IDC_MAIN_FOLDER) {
            if (BrowseForFolder(window)) {
                RunLog->Note(std::string("folder chosen: ") + TargetFolder);
                ShowTargetFolder(window, IDC_MAIN_FOLDER_TEXT, TargetFolder);
                // A bundle applies the package of the release found in the chosen folder.
                if (ChoosePackageFor(TargetFolder)) {
                    ShowPackageText(ActivePackage(), window, GetDlgItem(window, IDC_MAIN_NOTES));
                }
                ShowShield(window);
            }
        } else if (wParam == IDC_MAIN_APPLY) {
            if (ApplyDone) {
                CloseMainDialog();
            } else if (IsSuccess(ApplyToFolder(ActivePackage(), TargetFolder, window))) {
                // Every other outcome has been told as it happened, in the wording's boxes
                // (a stop, the files not replaced) or by the person's own answer, and leaves
                // Apply to try again.
                HWND apply = GetDlgItem(window, IDC_MAIN_APPLY);
                SetWindowTextW(apply, L"Done");
                SetFocus(apply);
                EnableWindow(GetDlgItem(window, IDC_MAIN_FOLDER), FALSE);
                ApplyDone = 1;
            } else if (ElevatedRunStarted) {
                // The run with administrator rights takes over from here.
                CloseMainDialog();
            }
        }
        return 1;
    }
    return 0;
}
