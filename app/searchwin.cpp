// The installation search's platform means on Windows: hidden list boxes as the folder queue
// and the folder lister, drive types from the system, and the hourglass.
#include "app.h"
#include "files.h"
#include "os.h"

// Neither list box sorts, so every string keeps the position it was added at.
static HWND HiddenList(HINSTANCE instance, HWND owner)
{
    return CreateWindowExW(0, L"LISTBOX", L"", LBS_HASSTRINGS, 0, 0, 100, 100, owner, nullptr, instance, nullptr);
}

// Takes the first string of a list box. A string that would not fit a path buffer cannot be a
// folder the walk queued, so it is dropped rather than cut into another path.
static void TakeFirst(HWND list, char* out)
{
    out[0] = 0;
    wchar_t wide[MAX_PATH];
    while (SendMessageW(list, LB_GETCOUNT, 0, 0) > 0) {
        LRESULT length = SendMessageW(list, LB_GETTEXTLEN, 0, 0);
        int taken = length >= 0 && length < MAX_PATH;
        if (taken) SendMessageW(list, LB_GETTEXT, 0, (LPARAM)wide);
        SendMessageW(list, LB_DELETESTRING, 0, 0);
        if (taken && Utf8Text(wide, out, kPathMax)) return;
    }
}

Win32SearchPlatform::Win32SearchPlatform(HINSTANCE instance, HWND owner)
    : folderQueue(HiddenList(instance, owner)), dirLister(HiddenList(instance, owner)), keptCursor(nullptr),
      waitShown(0)
{
}

Win32SearchPlatform::~Win32SearchPlatform()
{
    if (dirLister) DestroyWindow(dirLister);
    if (folderQueue) DestroyWindow(folderQueue);
    ShowWait(0);
}

int Win32SearchPlatform::FixedRoot(int index, char* root)
{
    return Os().driveRoot(index, root, kPathMax) == kDriveFixed;
}

void Win32SearchPlatform::QueueAdd(const char* path)
{
    SendMessageW(folderQueue, LB_ADDSTRING, 0, (LPARAM)WideText(path).c_str());
}

int Win32SearchPlatform::QueueCount() { return (int)SendMessageW(folderQueue, LB_GETCOUNT, 0, 0); }

void Win32SearchPlatform::QueueTake(char* out) { TakeFirst(folderQueue, out); }

void Win32SearchPlatform::ListFolders(const char* pattern)
{
    // DDL_EXCLUSIVE | DDL_DIRECTORY: folders only, each as "[name]".
    wchar_t copy[MAX_PATH];
    lstrcpynW(copy, WideText(pattern).c_str(), MAX_PATH);
    SendMessageW(dirLister, LB_DIR, DDL_EXCLUSIVE | DDL_DIRECTORY, (LPARAM)copy);
}

int Win32SearchPlatform::ListCount() { return (int)SendMessageW(dirLister, LB_GETCOUNT, 0, 0); }

void Win32SearchPlatform::ListTake(char* out) { TakeFirst(dirLister, out); }

void Win32SearchPlatform::ListClear() { SendMessageW(dirLister, LB_RESETCONTENT, 0, 0); }

void Win32SearchPlatform::ShowWait(int on)
{
    if (on && !waitShown) {
        keptCursor = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
        waitShown = 1;
    } else if (!on && waitShown) {
        SetCursor(keptCursor);
        keptCursor = nullptr;
        waitShown = 0;
    }
}
