// Text between the core's UTF-8 and the UTF-16 of the wide Win32 calls the windows use.
#include "app.h"

std::wstring WideText(const char* utf8)
{
    if (!utf8 || !*utf8) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &wide[0], n);
    wide.resize((size_t)n - 1);
    return wide;
}

int Utf8Text(const wchar_t* wide, char* out, size_t capacity)
{
    if (!out || capacity == 0) return 0;
    int room = capacity < 0x7FFFFFFF ? (int)capacity : 0x7FFFFFFF;
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, room, nullptr, nullptr) <= 0) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

int ShowMessage(HWND owner, const char* text, const char* caption, UINT type)
{
    return MessageBoxW(owner, WideText(text).c_str(), WideText(caption).c_str(), type);
}

void TellOutOfMemory(HWND owner)
{
    // Wide literals: converting the text would itself need memory.
    MessageBoxW(owner,
                L"There is not enough memory to go on. Nothing more was done; an interrupted upgrade finishes when it "
                L"is run again.",
                L"Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
}
