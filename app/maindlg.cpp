// The main dialog: package title and notes, the target folder and its chooser, Apply and Done.
#include "app.h"
#include <commdlg.h>
#include <new>
#include <string.h>
#include "apply.h"
#include "files.h"
#include "reader.h"
#include "uitext.h"

enum {
    kIdApply = 300,
    kIdNotes = 101,
    kIdFolderText = 102,
    kIdFolder = 103
};

// Set after a successful apply and never cleared: Apply has become Done.
static int ApplyDone;
// Filled anew before every use of the folder chooser.
static OPENFILENAMEA BrowseRecord;

int ShowPackageText(const char* packagePath, HWND titleWindow, HWND notesWindow)
{
    PackageReader reader(packagePath);
    if (!reader.IsValid())
        return 0;
    // An empty title leaves the template's caption.
    if (titleWindow && reader.title[0])
        SetWindowTextA(titleWindow, reader.title);
    if (notesWindow)
        SetWindowTextA(notesWindow, reader.notes);
    return 1;
}

void ShowTargetFolder(HWND dialog, int staticId, const char* folder)
{
    // DlgDirListA makes the folder current and rewrites its buffer; the guard puts the current
    // directory back and the copy keeps the caller's text intact.
    CurrentDirectoryGuard guard;
    char copy[kPathMax];
    lstrcpynA(copy, folder, kPathMax);
    DlgDirListA(dialog, copy, 0, staticId, 0);
}

int BrowseForFolder(HWND mainWindow)
{
    // The old-style dialog only closes on OK with a plain file name in place; the hidden name
    // field holds it, and the folder is what precedes it.
    char file[kPathMax] = "Target";
    memset(&BrowseRecord, 0, sizeof BrowseRecord);
    BrowseRecord.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    BrowseRecord.hwndOwner = mainWindow;
    BrowseRecord.hInstance = AppInstance;
    BrowseRecord.lpstrFile = file;
    BrowseRecord.nMaxFile = kPathMax;
    BrowseRecord.lpstrInitialDir = TargetFolder;
    BrowseRecord.lpstrTitle = "Browse";
    BrowseRecord.lpTemplateName = "BROWSE";
    BrowseRecord.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_ENABLETEMPLATE | OFN_PATHMUSTEXIST;
    if (LOBYTE(LOWORD(GetVersion())) >= 4)
        BrowseRecord.Flags |= OFN_LONGNAMES;
    if (GetSaveFileNameA(&BrowseRecord) != 1)
        return 0;
    UpdateWindow(mainWindow);

    char* cut = strrchr(file, '\\');
    if (cut)
        *cut = 0;
    if (strlen(file) >= 3) {
        lstrcpynA(TargetFolder, file, kPathMax);
    } else {
        // A drive root such as D: keeps its backslash.
        lstrcpynA(TargetFolder, file, kPathMax - 1);
        strcat(TargetFolder, "\\");
    }
    return 1;
}

int ApplyToFolder(const char* packagePath, const char* targetFolder, HWND mainWindow)
{
    // The interface and its host outlive the job: the job's teardown goes through them to
    // re-enable the main window and close the progress view.
    Win32UserInterface ui;
    EngineHost host(&ui);
    UpgradeJob job(AppInstance, mainWindow, packagePath, targetFolder);
    job.host = &host;
    if (!job.IsValid())
        return 0;
    // Without a table ApplyUpgrade refuses to start, which is the right end for a failed
    // allocation too.
    job.uiText = new (std::nothrow) UiTextTable(UiTextPath);
    return ApplyUpgrade(&job);
}

void CloseMainDialog()
{
    if (MainDialog) {
        DestroyWindow(MainDialog);
        PostQuitMessage(0);
    }
    MainDialog = NULL;
}

INT_PTR CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        ShowPackageText(PackagePath, window, GetDlgItem(window, kIdNotes));
        ShowTargetFolder(window, kIdFolderText, TargetFolder);
        return 1;
    case WM_CLOSE:
        CloseMainDialog();
        return 1;
    case WM_COMMAND:
        // The whole parameter is compared, so only clicks and the Escape key's IDCANCEL act.
        if (wParam == IDCANCEL) {
            CloseMainDialog();
        } else if (wParam == kIdFolder) {
            if (BrowseForFolder(window))
                ShowTargetFolder(window, kIdFolderText, TargetFolder);
        } else if (wParam == kIdApply) {
            if (ApplyDone) {
                CloseMainDialog();
            } else if (ApplyToFolder(PackagePath, TargetFolder, window)) {
                HWND apply = GetDlgItem(window, kIdApply);
                SetWindowTextA(apply, "Done");
                SetFocus(apply);
                EnableWindow(GetDlgItem(window, kIdFolder), FALSE);
                ApplyDone = 1;
            }
        }
        return 1;
    }
    return 0;
}
