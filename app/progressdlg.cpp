// The progress view of an apply: its dialog procedure, the percentage bar, centring, and the
// engine's user interface over Win32 dialogs and message boxes.
#include "app.h"
#include <string>

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM, LPARAM lParam)
{
    // The engine's progress state arrives with the dialog's creation and is kept in the window.
    if (message == WM_INITDIALOG) SetWindowLongPtrA(window, DWLP_USER, lParam);
    ProgressState* progress = (ProgressState*)GetWindowLongPtrA(window, DWLP_USER);
    switch (message) {
    case WM_INITDIALOG:
        if (progress) progress->Reset();
        CentreWindow(window);
        return TRUE;
    case WM_PAINT:
        // The bar's own frame first, then the bar over it; the dialog paints the rest.
        UpdateWindow(GetDlgItem(window, IDC_PROGRESS_BAR));
        DrawProgressBar(window, IDC_PROGRESS_BAR, progress ? progress->lastPercent : 0);
        return FALSE;
    case WM_COMMAND:
        // Cancel, Escape and the close box all arrive here; the next poll asks.
        if (progress) progress->OnCommand();
        return TRUE;
    }
    return FALSE;
}

void DrawProgressBar(HWND dialog, int controlId, int percent)
{
    char text[16];
    int n = wsprintfA(text, "%d%%", percent);
    HWND control = GetDlgItem(dialog, controlId);
    // Without the control, GetDC would hand out the whole screen to paint on.
    if (!control) return;
    RECT r;
    GetClientRect(control, &r);
    // Inside the control's frame.
    r.left += 1;
    r.top += 1;
    r.right -= 1;
    r.bottom -= 1;

    HDC dc = GetDC(control);
    HFONT font = (HFONT)SendMessageA(dialog, WM_GETFONT, 0, 0);
    HGDIOBJ previousFont = nullptr;
    if (font) previousFont = SelectObject(dc, font);
    SetTextAlign(dc, TA_CENTER | TA_TOP);

    int width = r.right - r.left;
    int height = r.bottom - r.top;
    SIZE extent;
    GetTextExtentPoint32A(dc, text, n, &extent);
    int y = r.top + (height - extent.cy) / 2;
    int x = r.left + width / 2;
    int split = r.left + MulDiv(percent, width, 100);

    // One centred text drawn twice, each time clipped to its half, so it changes colour where
    // the boundary crosses it. The column at split belongs to neither half.
    RECT filled = {r.left, r.top, split, r.bottom};
    SetBkColor(dc, 0x00FF0000);
    SetTextColor(dc, 0x00FFFFFF);
    ExtTextOutA(dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &filled, text, n, nullptr);

    RECT empty = {split + 1, r.top, r.left + width, r.bottom};
    SetBkColor(dc, 0x00FFFFFF);
    SetTextColor(dc, 0x00000000);
    ExtTextOutA(dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &empty, text, n, nullptr);

    if (previousFont) SelectObject(dc, previousFont);
    ReleaseDC(control, dc);
}

void CentreWindow(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    MoveWindow(window, x, y, width, height, FALSE);
}

void* Win32UserInterface::OpenProgress(void* instance, void* ownerWindow, ProgressState* progress)
{
    HWND view = CreateDialogParamW((HINSTANCE)instance, L"UPGPROGRESS", (HWND)ownerWindow, ProgressDialogProc,
                                   (LPARAM)progress);
    if (view) {
        ShowWindow(view, SW_SHOW);
        UpdateWindow(view);
    }
    return view;
}

void Win32UserInterface::CloseProgress(void* view) { DestroyWindow((HWND)view); }

void Win32UserInterface::EnableOwner(void* ownerWindow, int enable) { EnableWindow((HWND)ownerWindow, enable); }

void Win32UserInterface::SetCaption(void* view, const char* text)
{
    SetWindowTextW((HWND)view, WideText(text).c_str());
}

void Win32UserInterface::SetItemText(void* view, int item, const char* text)
{
    SetDlgItemTextW((HWND)view, item, WideText(text).c_str());
}

void Win32UserInterface::Repaint(void* view) { UpdateWindow((HWND)view); }

void Win32UserInterface::DrawBar(void* view, int percent) { DrawProgressBar((HWND)view, IDC_PROGRESS_BAR, percent); }

void Win32UserInterface::PumpEvents(void* view)
{
    // A poll comes after every chunk of output: the queue is looked at once per tick of the
    // system clock (10 to 16 ms, well inside the cancel latency) and drained only when it
    // holds something, so a poll in between reads the tick count and no more. The progress
    // pause sleeps in WaitEvents between polls, so its length stays on the clock.
    DWORD now = GetTickCount();
    if (!lookNow && now == lastLook) return;
    lookNow = 0;
    lastLook = now;
    if (HIWORD(GetQueueStatus(QS_ALLINPUT)) == 0) return;
    // The apply keeps the thread away from the main loop, so the whole queue is drained here;
    // the progress view gets dialog-key handling so Escape reaches it as a command.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (view && IsDialogMessageW((HWND)view, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void Win32UserInterface::WaitEvents(void*, uint32_t milliseconds)
{
    MsgWaitForMultipleObjects(0, NULL, FALSE, milliseconds, QS_ALLINPUT);
    lookNow = 1;
}

int Win32UserInterface::AskYesNo(void* view, const char* text, const char* caption)
{
    // Anything but Yes (No, or a box closed some other way) counts as no.
    return ShowMessage((HWND)view, text, caption, MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL) == IDYES;
}

void Win32UserInterface::Inform(void* view, const char* text, const char* caption)
{
    ShowMessage((HWND)view, text, caption, MB_ICONINFORMATION | MB_TASKMODAL);
}

int Win32UserInterface::AskRetry(void* view, const char* text, const char* caption)
{
    return ShowMessage((HWND)view, text, caption, MB_RETRYCANCEL | MB_ICONWARNING | MB_TASKMODAL) == IDRETRY;
}

int Win32UserInterface::OfferElevation(void* view, const char* text, const char* offer, const char* caption)
{
    // Already elevated, the rights are what they are: there is nothing more to offer.
    if (RunningElevated()) {
        Inform(view, text, caption);
        return 0;
    }
    std::string question = std::string(text) + "\n\n" + offer;
    if (ShowMessage((HWND)view, question.c_str(), caption, MB_YESNO | MB_ICONWARNING | MB_TASKMODAL) != IDYES) return 0;
    return RunAgainElevated((HWND)view);
}

uint32_t Win32UserInterface::Ticks() { return GetTickCount(); }
