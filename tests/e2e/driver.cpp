// In-Wine driver of the end-to-end suite: starts upgsetup.exe with exact command lines, drives
// its windows like a user and checks what it shows and what it leaves on disk.
// Usage: driver.exe WORK_DIR SHOTS_DIR   (WORK_DIR holds upgsetup.exe, upgsetup.uui, and a
// publisher's bundle of the example in bundle\ with both releases beside it)
#include <windows.h>
#include <commdlg.h>
#include <dlgs.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>
#include "controls.h"
#include "crypto.h"
#include "keyfile.h"
#include "memstream.h"
#include "stream.h"
#include "pkgwriter.h"
#include "seal.h"

namespace {

std::string Work;                   // folder of upgsetup.exe
std::string Shots;                  // where screenshots go
std::string Exe;                    // Work\upgsetup.exe
std::vector<std::string> Wording;   // lines of upgsetup.uui
int Passed, Failed;
bool CaseFailed;

const int kTimeout = 8000;   // ms for any one state to arrive

void Fail(const std::string& what, int line)
{
    if (!CaseFailed) printf("  at line %d: %s\n", line, what.c_str());
    CaseFailed = true;
}

#define CHECK(c)                                                                                                       \
    do {                                                                                                               \
        if (!(c)) {                                                                                                    \
            Fail(#c, __LINE__);                                                                                        \
            return;                                                                                                    \
        }                                                                                                              \
    } while (0)
#define CHECK_EQ(a, b)                                                                                                 \
    do {                                                                                                               \
        std::string x_ = (a), y_ = (b);                                                                                \
        if (x_ != y_) {                                                                                                \
            Fail(std::string(#a) + " = \"" + x_ + "\", expected \"" + y_ + "\"", __LINE__);                            \
            return;                                                                                                    \
        }                                                                                                              \
    } while (0)

template <class F>
bool WaitUntil(F cond, DWORD ms = kTimeout)
{
    for (DWORD t0 = GetTickCount();; Sleep(15)) {
        if (cond()) return true;
        if (GetTickCount() - t0 > ms) return false;
    }
}

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

// ---- files and packages ------------------------------------------------------------------

uint32_t Dos(int y, int mo, int d, int h, int mi, int s)
{
    return (uint32_t)(((y - 1980) << 9 | mo << 5 | d) << 16) | (uint32_t)(h << 11 | mi << 5 | s / 2);
}

void MakeDirs(const std::string& path)
{
    for (size_t i = 3; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '\\') CreateDirectoryA(path.substr(0, i).c_str(), NULL);
}

bool Put(const std::string& path, const std::string& bytes, uint32_t dosTime = 0)
{
    size_t cut = path.rfind('\\');
    if (cut != std::string::npos && cut > 2) MakeDirs(path.substr(0, cut));
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    bool ok = WriteFile(h, bytes.data(), (DWORD)bytes.size(), &put, NULL) && put == bytes.size();
    if (dosTime) {
        FILETIME local, utc;
        ok = ok && DosDateTimeToFileTime(HIWORD(dosTime), LOWORD(dosTime), &local) &&
            LocalFileTimeToFileTime(&local, &utc) && SetFileTime(h, &utc, &utc, &utc);
    }
    CloseHandle(h);
    return ok;
}

// Paths and texts are UTF-8 here, UTF-16 in the wide calls.
std::wstring Wide(const std::string& utf8)
{
    std::wstring w(utf8.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &w[0], (int)w.size());
    w.resize(n > 0 ? (size_t)n - 1 : 0);
    return w;
}

std::string Utf8(const wchar_t* wide)
{
    std::string s(4 * wcslen(wide) + 1, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, &s[0], (int)s.size(), NULL, NULL);
    s.resize(n > 0 ? (size_t)n - 1 : 0);
    return s;
}

// The bytes of a file; the path in UTF-8.
bool Slurp(const std::string& path, std::string* bytes)
{
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    char buf[4096];
    DWORD got;
    while (ReadFile(h, buf, sizeof buf, &got, NULL) && got) bytes->append(buf, got);
    CloseHandle(h);
    return true;
}

std::string Content(const std::string& path)
{
    std::string s;
    return Slurp(path, &s) ? s : "<missing>";
}

uint32_t DosTimeOf(const std::string& path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    FILETIME utc, local;
    WORD date = 0, time = 0;
    if (GetFileTime(h, NULL, NULL, &utc) && FileTimeToLocalFileTime(&utc, &local))
        FileTimeToDosDateTime(&local, &date, &time);
    CloseHandle(h);
    return (uint32_t)date << 16 | time;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Script pieces, laid out by the shared writer.
std::string AsString(const PkgBytes& b) { return std::string(b.begin(), b.end()); }
PkgBytes BytesOf(const std::string& s) { return PkgBytes(s.begin(), s.end()); }

std::string Insert(const std::string& bytes)
{
    ScriptWriter w;
    w.Insert(BytesOf(bytes));
    return AsString(w.bytes);
}

std::string CopyFar(uint32_t position, uint32_t count)
{
    ScriptWriter w;
    w.CopyFar(position, count, Width16);
    return AsString(w.bytes);
}

const std::string End(1, '\0');

enum { Add = 0, Patch = 1, Delete = 2, Ignore = 0, Ask = 1, Abort = 2 };

struct Entry {
    int kind, soft, hard;
    std::string name, description;
    std::string oldBytes;
    uint32_t oldTime;
    std::string newBytes;
    uint32_t newTime;
    std::string script;
};

std::string Package(const std::string& title, const std::string& notes, const std::vector<Entry>& entries,
                    int version = 1, char magicEnd = 0)
{
    PkgPlan plan;
    plan.version = (uint8_t)version;
    plan.title = title;
    plan.notes = notes;
    for (const Entry& e : entries) {
        PkgEntry p = NamedEntry(e.kind, e.soft, e.hard, e.name, e.description);
        p.oldPrint = PrintOf(BytesOf(e.oldBytes), e.oldTime);
        p.newPrint = PrintOf(BytesOf(e.newBytes), e.newTime);
        p.script = BytesOf(e.script);
        plan.entries.push_back(p);
    }
    std::string s = AsString(WritePackage(plan));
    s[7] = magicEnd;
    return s;
}

// A one-entry package that matches a folder holding file name with the given content.
std::string MarkerPackage(const std::string& title, const std::string& name, const std::string& content)
{
    Entry e{Delete, Ask, Ask, name, "", content, Dos(2001, 2, 3, 4, 5, 6), "", 0, ""};
    return Package(title, "", {e});
}

// ---- windows -----------------------------------------------------------------------------

std::string ClassOf(HWND h)
{
    char c[64] = "";
    GetClassNameA(h, c, sizeof c);
    return c;
}

// A window's text through the wide message, as UTF-8.
std::string Text(HWND h)
{
    if (!h) return "<no window>";
    DWORD_PTR n = 0, got = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &n)) return "<timeout>";
    std::wstring w(n + 1, L'\0');
    SendMessageTimeoutW(h, WM_GETTEXT, n + 1, (LPARAM)&w[0], SMTO_ABORTIFHUNG, 2000, &got);
    return Utf8(w.c_str());
}

std::string ItemText(HWND dlg, int id) { return Text(GetDlgItem(dlg, id)); }

LONG Style(HWND h) { return GetWindowLongA(h, GWL_STYLE); }

struct EnumState {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTop(HWND h, LPARAM lp)
{
    EnumState* s = (EnumState*)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid == s->pid && IsWindowVisible(h)) s->found.push_back(h);
    return TRUE;
}

std::vector<HWND> TopWindows(DWORD pid)
{
    EnumState s{pid, {}};
    EnumWindows(CollectTop, (LPARAM)&s);
    return s.found;
}

bool IsMessageBox(HWND h)
{
    return ClassOf(h) == "#32770" && GetDlgItem(h, 0xFFFF) &&
        (GetDlgItem(h, IDOK) || GetDlgItem(h, IDYES) || GetDlgItem(h, IDRETRY)) && !GetDlgItem(h, lst2);
}

HWND FindTop(DWORD pid, bool (*match)(HWND))
{
    for (HWND h : TopWindows(pid))
        if (match(h)) return h;
    return NULL;
}

bool IsMain(HWND h) { return ClassOf(h) == "UpgSetup"; }
bool IsProgress(HWND h) { return ClassOf(h) == "#32770" && GetDlgItem(h, IDC_PROGRESS_BAR); }
bool IsBrowse(HWND h) { return ClassOf(h) == "#32770" && GetDlgItem(h, lst2) && !IsMessageBox(h); }
bool IsSearch(HWND h)
{
    return ClassOf(h) == "#32770" && GetDlgItem(h, 0xFFFF) && !GetDlgItem(h, IDOK) && !GetDlgItem(h, IDYES);
}

HWND WaitTop(DWORD pid, bool (*match)(HWND), DWORD ms = kTimeout)
{
    HWND found = NULL;
    WaitUntil([&] { return (found = FindTop(pid, match)) != NULL; }, ms);
    return found;
}

bool Gone(HWND h, DWORD ms = kTimeout)
{
    return WaitUntil([&] { return !IsWindow(h) || !IsWindowVisible(h); }, ms);
}

// Like a user: disabled or hidden buttons cannot be pressed; never blocks on the handler.
bool Click(HWND dlg, int id)
{
    HWND b = GetDlgItem(dlg, id);
    if (!b || !IsWindowEnabled(b) || !IsWindowVisible(b)) return false;
    return PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)b);
}

bool PressKey(HWND any, WORD vk)
{
    GUITHREADINFO gi{};
    gi.cbSize = sizeof gi;
    GetGUIThreadInfo(GetWindowThreadProcessId(any, NULL), &gi);
    HWND to = gi.hwndFocus ? gi.hwndFocus : any;
    UINT sc = MapVirtualKeyA(vk, 0);
    return PostMessageA(to, WM_KEYDOWN, vk, 1 | sc << 16) && PostMessageA(to, WM_KEYUP, vk, 1 | sc << 16 | 0xC0000000);
}

HWND FocusOf(HWND any)
{
    GUITHREADINFO gi{};
    gi.cbSize = sizeof gi;
    GetGUIThreadInfo(GetWindowThreadProcessId(any, NULL), &gi);
    return gi.hwndFocus;
}

struct MsgBox {
    HWND h = NULL;
    std::string caption, text;
    bool ok = false, yes = false, no = false, cancel = false, retry = false;
    bool icon = false;   // an icon is shown
};

// Which icon cannot be told across processes under Wine (the handles differ), only that one is
// shown: a box without an icon keeps an icon control that holds none.
BOOL CALLBACK FindIcon(HWND h, LPARAM lp)
{
    DWORD_PTR icon = 0;
    if (IsWindowVisible(h) && Lower(ClassOf(h)) == "static" && (Style(h) & SS_TYPEMASK) == SS_ICON &&
        SendMessageTimeoutA(h, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon) && icon)
        *(bool*)lp = true;
    return TRUE;
}

MsgBox WaitMsgBox(DWORD pid, DWORD ms = kTimeout)
{
    MsgBox m;
    m.h = WaitTop(pid, IsMessageBox, ms);
    if (m.h) {
        m.caption = Text(m.h);
        m.text = ItemText(m.h, 0xFFFF);
        m.ok = GetDlgItem(m.h, IDOK) != NULL;
        m.yes = GetDlgItem(m.h, IDYES) != NULL;
        m.no = GetDlgItem(m.h, IDNO) != NULL;
        m.cancel = GetDlgItem(m.h, IDCANCEL) != NULL;
        m.retry = GetDlgItem(m.h, IDRETRY) != NULL;
        EnumChildWindows(m.h, FindIcon, (LPARAM)&m.icon);
    }
    return m;
}

bool Answer(const MsgBox& m, int id) { return m.h && PostMessageA(GetDlgItem(m.h, id), BM_CLICK, 0, 0) && Gone(m.h); }

BOOL CALLBACK CollectChild(HWND h, LPARAM lp)
{
    if (IsWindowVisible(h)) ((std::vector<HWND>*)lp)->push_back(h);
    return TRUE;
}

// The pixels of a window as the screen shows them, bottom-up 24-bit rows.
struct Snapshot {
    RECT at{};
    int width = 0, height = 0;
    DWORD stride = 0;
    std::string bits;

    explicit Snapshot(HWND h)
    {
        GetWindowRect(h, &at);
        width = at.right - at.left;
        height = at.bottom - at.top;
        stride = ((DWORD)width * 3 + 3) & ~3u;
        HDC screen = GetDC(NULL);
        HDC mem = CreateCompatibleDC(screen);
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = width;
        bi.bmiHeader.biHeight = height;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 24;
        void* data = NULL;
        HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &data, NULL, 0);
        HGDIOBJ old = SelectObject(mem, bmp);
        BitBlt(mem, 0, 0, width, height, screen, at.left, at.top, SRCCOPY);
        GdiFlush();
        bits.assign((const char*)data, stride * (DWORD)height);
        SelectObject(mem, old);
        DeleteObject(bmp);
        DeleteDC(mem);
        ReleaseDC(NULL, screen);
    }
    // Colour at screen position x, y as 0xRRGGBB.
    DWORD At(int x, int y) const
    {
        const BYTE* p = (const BYTE*)bits.data() + (DWORD)(height - 1 - (y - at.top)) * stride + (x - at.left) * 3;
        return (DWORD)p[2] << 16 | (DWORD)p[1] << 8 | p[0];
    }
    // Some row of the rectangle holds more than one colour.
    bool Varied(const RECT& r) const
    {
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left + 1; x < r.right; ++x)
                if (At(x, y) != At(r.left, y)) return true;
        return false;
    }
    bool Save(const std::string& path) const
    {
        BITMAPFILEHEADER fh{};
        BITMAPINFOHEADER ih{};
        ih.biSize = sizeof ih;
        ih.biWidth = width;
        ih.biHeight = height;
        ih.biPlanes = 1;
        ih.biBitCount = 24;
        fh.bfType = 0x4D42;
        fh.bfOffBits = sizeof fh + sizeof ih;
        fh.bfSize = fh.bfOffBits + (DWORD)bits.size();
        return Put(path, std::string((const char*)&fh, sizeof fh) + std::string((const char*)&ih, sizeof ih) + bits);
    }
};

// Every visible control shows something on the screen (a frame, a border or text): a window
// just shown may not have painted its controls yet.
bool Painted(HWND h, const Snapshot& shot)
{
    std::vector<HWND> children;
    EnumChildWindows(h, CollectChild, (LPARAM)&children);
    for (HWND c : children) {
        RECT r, inside;
        GetWindowRect(c, &r);
        if (!IntersectRect(&inside, &r, &shot.at) || !shot.Varied(inside)) return false;
    }
    return !children.empty();
}

// Saves the window's pixels as SHOTS\name.bmp once it is painted; the harness turns them into
// PNG files.
void Capture(HWND h, const char* name)
{
    std::string path = Shots + "\\" + name + ".bmp";
    if (!WaitUntil([&] {
            Snapshot shot(h);
            return Painted(h, shot) && shot.Save(path);
        })) {
        printf("  %s: not fully painted\n", name);
        Snapshot(h).Save(path);
    }
}

// ---- the program under test --------------------------------------------------------------

struct App {
    PROCESS_INFORMATION pi{};
    bool started = false;

    explicit App(const std::string& commandLine, const std::string& image = Exe)
    {
        std::vector<char> buf(commandLine.begin(), commandLine.end());
        buf.push_back(0);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        // No WaitForInputIdle: the program is busy searching before it is idle the first time,
        // and the search window is to be seen meanwhile. Every case waits for a state instead.
        started = CreateProcessA(image.c_str(), buf.data(), NULL, NULL, FALSE, 0, NULL, Work.c_str(), &si, &pi);
    }
    // A command line that the ANSI code page may not hold.
    explicit App(const std::wstring& commandLine)
    {
        std::vector<wchar_t> buf(commandLine.begin(), commandLine.end());
        buf.push_back(0);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring image(Exe.begin(), Exe.end()), work(Work.begin(), Work.end());
        started = CreateProcessW(image.c_str(), buf.data(), NULL, NULL, FALSE, 0, NULL, work.c_str(), &si, &pi);
    }
    ~App()
    {
        if (!started) return;
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, 5000);
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    DWORD pid() const { return pi.dwProcessId; }
    // The exit code, or 0xFFFFFFFF when the process did not end in time.
    DWORD ExitCode(DWORD ms = kTimeout)
    {
        DWORD code = 0xFFFFFFFF;
        if (WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
        return code;
    }
    HWND Main(DWORD ms = kTimeout) { return WaitTop(pid(), IsMain, ms); }
};

const std::string kRefused = "Missing or invalid setup data.";

std::string WordPart(int line, int part)
{
    std::string s = Wording[line];
    for (int k = 0; k < part; ++k) s = s.substr(s.find('|') + 1);
    return s.substr(0, s.find('|'));
}

// The question the apply puts about one entry, composed from the wording file.
std::string Question(int kind, const std::string& name, const std::string& description, int third, int last)
{
    std::string s = WordPart(2, 0) + WordPart(1, kind) + "\n\n" + WordPart(2, 1) + name;
    if (!description.empty()) s += "\n" + WordPart(2, 2) + description;
    return s + "\n\n" + Wording[third] + "\n\n" + Wording[last];
}

// ---- cases -------------------------------------------------------------------------------

// A refused start: the one box, nothing else on screen, exit code 1 after OK.
void ExpectRefused(const std::string& commandLine, const std::string& image = Exe)
{
    App app(commandLine, image);
    CHECK(app.started);
    MsgBox m = WaitMsgBox(app.pid());
    CHECK(m.h);
    CHECK_EQ(m.caption, "Error");
    CHECK_EQ(m.text, kRefused);
    CHECK(m.ok && !m.cancel && !m.yes && !m.no);
    CHECK(m.icon);
    CHECK(TopWindows(app.pid()).size() == 1);
    CHECK(Answer(m, IDOK));
    CHECK(app.ExitCode() == 1);
}

// A start that gets to the main window; returns its caption through *caption.
void ExpectMain(const std::string& commandLine, std::string* caption, const std::string& image = Exe)
{
    App app(commandLine, image);
    CHECK(app.started);
    HWND main = app.Main();
    CHECK(main);
    *caption = Text(main);
    CHECK(PostMessageA(main, WM_CLOSE, 0, 0));
    CHECK(app.ExitCode() == 1);
}

// Waits for the main window; null, with the case failed, unless it shows folder as the target.
HWND MainShowing(App& app, const std::string& folder)
{
    HWND main = app.Main();
    if (!main) {
        Fail("no main window", __LINE__);
        return nullptr;
    }
    std::string shown = ItemText(main, IDC_MAIN_FOLDER_TEXT);
    if (shown != folder) {
        Fail("folder \"" + shown + "\", expected \"" + folder + "\"", __LINE__);
        return nullptr;
    }
    return main;
}

// A start whose search proposes folder; the window is then closed.
void ExpectFolder(const std::string& commandLine, const std::string& folder)
{
    App app(commandLine);
    HWND main = MainShowing(app, folder);
    CHECK(main);
    PostMessageA(main, WM_CLOSE, 0, 0);
    CHECK(app.ExitCode() == 1);
}

// A copy of the program at program (its folder made), the default wording at wording and a
// package titled title at package.
bool StageProgram(const std::string& program, const std::string& wording, const std::string& package,
                  const std::string& title)
{
    MakeDirs(program.substr(0, program.rfind('\\')));
    return CopyFileA(Exe.c_str(), program.c_str(), FALSE) &&
        CopyFileA((Work + "\\upgsetup.uui").c_str(), wording.c_str(), FALSE) && Put(package, Package(title, "", {}));
}

void CaseRefusedStarts()
{
    std::string good = Package("Refusals", "", {});
    CHECK(Put("D:\\refuse\\good.upg", good));
    std::string badMagic = Package("Refusals", "", {}, 1, 'x');
    CHECK(Put("D:\\refuse\\magic.upg", badMagic));
    CHECK(Put("D:\\refuse\\v18.upg", Package("Refusals", "", {}, 18)));
    CHECK(Put("D:\\refuse\\v17.upg", Package("Version 17", "", {}, 17)));
    CHECK(Put("D:\\refuse\\short.upg", good.substr(0, 13)));

    // Packages an apply would refuse are refused at start-up: an unsafe name, more entries
    // than the table holds, a table cut inside a fingerprint.
    std::vector<Entry> added = {
        {Add, Ask, Ask, "a.txt", "", "", 0, "abc", Dos(2001, 1, 1, 0, 0, 0), Insert("abc") + End}};
    std::vector<Entry> unsafe = added;
    unsafe[0].name = "..\\outside.txt";
    CHECK(Put("D:\\refuse\\unsafe.upg", Package("Refusals", "", unsafe)));
    std::string many = good;
    many[9] = (char)(10001 & 0xFF);
    many[10] = (char)(10001 >> 8);
    CHECK(Put("D:\\refuse\\many.upg", many));
    std::string cut = Package("Refusals", "", added);
    CHECK(Put("D:\\refuse\\cut.upg", cut.substr(0, cut.size() - added[0].script.size() - 4)));

    ExpectRefused("upgsetup.exe D:\\refuse\\none.upg");
    ExpectRefused("upgsetup.exe D:\\refuse\\magic.upg");
    ExpectRefused("upgsetup.exe D:\\refuse\\v18.upg");
    ExpectRefused("upgsetup.exe D:\\refuse\\short.upg");
    ExpectRefused("upgsetup.exe D:\\refuse\\unsafe.upg");
    ExpectRefused("upgsetup.exe D:\\refuse\\many.upg");
    ExpectRefused("upgsetup.exe D:\\refuse\\cut.upg");
    std::string caption;
    ExpectMain("upgsetup.exe D:\\refuse\\v17.upg", &caption);
    CHECK_EQ(caption, "Version 17");

    // The wording file is looked for beside the program; the package there is fine.
    MakeDirs("D:\\nowording");
    CHECK(CopyFileA(Exe.c_str(), "D:\\nowording\\upgsetup.exe", FALSE));
    CHECK(Put("D:\\nowording\\upgsetup.upg", good));
    ExpectRefused("upgsetup.exe", "D:\\nowording\\upgsetup.exe");
}

void CaseCommandTails()
{
    CHECK(Put("D:\\tails\\p.upg", Package("Tail test", "", {})));
    std::string caption;
    // Blanks after the program name are skipped.
    ExpectMain("upgsetup.exe   D:\\tails\\p.upg", &caption);
    CHECK_EQ(caption, "Tail test");
    // A quoted program name ends at its closing quote, blanks inside and all.
    caption.clear();
    ExpectMain("\"C:\\Program Files\\Up Set\\upgsetup.exe\" D:\\tails\\p.upg", &caption);
    CHECK_EQ(caption, "Tail test");
    caption.clear();
    ExpectMain("  \"C:\\Up Set\\upgsetup.exe\"D:\\tails\\p.upg", &caption);
    CHECK_EQ(caption, "Tail test");
    // Quotes around the package path stay part of it.
    ExpectRefused("upgsetup.exe \"D:\\tails\\p.upg\"");

    // Trailing blanks stay part of the path: the file system ignores them, but they count
    // against the 259 characters a path may have.
    std::string folder = "D:\\tails\\" + std::string(120, 'x') + "\\" + std::string(111, 'y');
    std::string path = folder + "\\long.upg";   // 259 - 9 characters
    CHECK(path.size() == 259 - 9);
    CHECK(Put(path, Package("Long path", "", {})));
    caption.clear();
    ExpectMain("upgsetup.exe " + path + std::string(9, ' '), &caption);
    CHECK_EQ(caption, "Long path");
    ExpectRefused("upgsetup.exe " + path + std::string(10, ' '));

    // No tail, or only blanks: the program's own path with .upg.
    CHECK(StageProgram("D:\\self dir\\setup.v2.exe", "D:\\self dir\\setup.v2.uui", "D:\\self dir\\setup.v2.upg",
                       "Own package"));
    caption.clear();
    ExpectMain("setup.v2.exe", &caption, "D:\\self dir\\setup.v2.exe");
    CHECK_EQ(caption, "Own package");
    caption.clear();
    ExpectMain("\"D:\\self dir\\setup.v2.exe\"   ", &caption, "D:\\self dir\\setup.v2.exe");
    CHECK_EQ(caption, "Own package");

    // A program file without any '.' gets the extensions appended; with none in its own name,
    // the last '.' of the folders is the one replaced.
    CHECK(StageProgram("D:\\noext\\setup", "D:\\noext\\setup.uui", "D:\\noext\\setup.upg", "No extension"));
    caption.clear();
    ExpectMain("setup", &caption, "D:\\noext\\setup");
    CHECK_EQ(caption, "No extension");
    CHECK(StageProgram("D:\\dot.dir\\setup", "D:\\dot.uui", "D:\\dot.upg", "Dot in folder"));
    caption.clear();
    ExpectMain("setup", &caption, "D:\\dot.dir\\setup");
    CHECK_EQ(caption, "Dot in folder");
}

void CaseMainWindow()
{
    CHECK(Put("D:\\mainwin\\p.upg", Package("Product 2.1 upgrade", "First line\r\nSecond line", {})));
    CHECK(Put("D:\\mainwin\\untitled.upg", Package("", "", {})));
    App app("upgsetup.exe D:\\mainwin\\p.upg");
    HWND main = app.Main();
    CHECK(main);
    CHECK_EQ(Text(main), "Product 2.1 upgrade");
    CHECK_EQ(ItemText(main, IDC_MAIN_NOTES), "First line\r\nSecond line");
    CHECK_EQ(ItemText(main, IDC_MAIN_APPLY), "&Apply");
    CHECK_EQ(ItemText(main, IDC_MAIN_FOLDER), "&Folder");
    CHECK((Style(main) & 0x00C80000) == 0x00C80000);
    CHECK((Style(GetDlgItem(main, IDC_MAIN_NOTES)) & (ES_READONLY | ES_MULTILINE)) == (ES_READONLY | ES_MULTILINE));
    CHECK(IsWindowEnabled(GetDlgItem(main, IDC_MAIN_FOLDER)));
    // The Apply button has the focus, so Enter applies.
    CHECK(WaitUntil([&] { return FocusOf(main) == GetDlgItem(main, IDC_MAIN_APPLY); }));
    // A package without entries matches the first folder examined: the root of C:.
    CHECK_EQ(ItemText(main, IDC_MAIN_FOLDER_TEXT), "c:\\");
    Capture(main, "main-window");
    CHECK(PressKey(main, VK_ESCAPE));
    CHECK(app.ExitCode() == 1);

    std::string caption;
    ExpectMain("upgsetup.exe D:\\mainwin\\untitled.upg", &caption);
    CHECK_EQ(caption, "UpgApply");
}

// The search: breadth-first over the fixed drives in letter order.
void CaseSearch()
{
    const std::string marker = "search marker: deep and root\r\n";
    uint32_t t = Dos(2001, 2, 3, 4, 5, 6);
    CHECK(Put("D:\\srch\\p.upg", MarkerPackage("Search", "app.dat", marker)));
    // Only on the second fixed drive, at its root.
    CHECK(Put("E:\\app.dat", marker, t));
    ExpectFolder("upgsetup.exe D:\\srch\\p.upg", "e:\\");
    // Deep in the first drive as well: D: is walked to its end before E: is looked at, and a
    // shallow copy wins over a deeper one whatever the listing order.
    CHECK(Put("D:\\srch\\a\\b\\c\\d\\app.dat", marker, t));
    CHECK(Put("D:\\srch\\z\\y\\app.dat", marker, t));
    ExpectFolder("upgsetup.exe D:\\srch\\p.upg", "d:\\srch\\z\\y");
    // Folders whose names begin with a full stop are never entered.
    CHECK(Put("D:\\hidden\\p.upg", MarkerPackage("Hidden", "h.dat", "dot folder marker")));
    CHECK(Put("D:\\hidden\\.cache\\h.dat", "dot folder marker", t));
    CHECK(Put("D:\\hidden\\zz\\h.dat", "dot folder marker", t));
    ExpectFolder("upgsetup.exe D:\\hidden\\p.upg", "d:\\hidden\\zz");
}

// Nothing matches: the Windows directory is proposed. A large candidate file of the expected
// size but another checksum must be read in full, which keeps the search busy long enough to see
// its window.
void CaseSearchNotFound()
{
    const uint32_t size = 256u << 20;
    std::string package = MarkerPackage("Not found", "big.bin", "");
    package.replace(package.size() - 6, 6, std::string("\0\0\0\0\1\0", 6));
    package.replace(package.size() - 6, 4, std::string((const char*)&size, 4));
    CHECK(Put("D:\\nf\\p.upg", package));
    HANDLE h = CreateFileA("D:\\nf\\slow\\big.bin", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        MakeDirs("D:\\nf\\slow");
        h = CreateFileA("D:\\nf\\slow\\big.bin", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    }
    CHECK(h != INVALID_HANDLE_VALUE);
    SetFilePointer(h, (LONG)size, NULL, FILE_BEGIN);
    SetEndOfFile(h);
    CloseHandle(h);

    App app("upgsetup.exe D:\\nf\\p.upg");
    CHECK(app.started);
    HWND search = WaitTop(app.pid(), IsSearch);
    CHECK(search);
    // The program pumps no messages while it searches: read the stored text, send nothing.
    char text[64] = "";
    GetWindowTextA(GetDlgItem(search, 0xFFFF), text, sizeof text);
    CHECK_EQ(text, "Searching for installed components...");
    LONG style = Style(search);
    CHECK((style & (WS_POPUP | WS_DLGFRAME)) == (WS_POPUP | WS_DLGFRAME));
    CHECK((style & WS_CAPTION) != WS_CAPTION);
    CHECK(!FindTop(app.pid(), IsMain));
    HWND main = app.Main(30000);
    CHECK(main);
    CHECK(!IsWindow(search));
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    CHECK_EQ(ItemText(main, IDC_MAIN_FOLDER_TEXT), Lower(windows));
    PostMessageA(main, WM_CLOSE, 0, 0);
    CHECK(app.ExitCode() == 1);
}

// An installation with a file to patch, one to delete and room for added files.
struct Install {
    std::string folder;
    std::string readmeOld, readmeNew, dllOld, dataNew, topNew;
    uint32_t oldTime = Dos(2003, 3, 4, 5, 6, 8), newTime = Dos(2010, 6, 7, 8, 9, 10);

    explicit Install(const std::string& f, const std::string& tag) : folder(f)
    {
        readmeOld = "Product readme, release 1 (" + tag + ").\r\nSecond line stays.\r\n";
        readmeNew = "Product readme, release 2 (" + tag + ").\r\nSecond line stays.\r\nA new line.\r\n";
        dllOld = "old library " + tag;
        dataNew = std::string(300, 'd') + tag;
        topNew = "top " + tag;
    }
    bool Lay() const
    {
        return Put(folder + "\\readme.txt", readmeOld, oldTime) && Put(folder + "\\old.dll", dllOld, oldTime) &&
            Put(folder + "\\keep.txt", "untouched", oldTime);
    }
    std::vector<Entry> Entries(int readmeSoft = Ask) const
    {
        size_t same = readmeOld.find("Second");
        std::string script = Insert(readmeNew.substr(0, readmeNew.find("Second"))) +
            CopyFar((uint32_t)same, (uint32_t)(readmeOld.size() - same)) + Insert("A new line.\r\n") + End;
        return {
            {Patch, readmeSoft, Ask, "readme.txt", "The readme", readmeOld, oldTime, readmeNew, newTime, script},
            {Delete, Ask, Ask, "old.dll", "", dllOld, oldTime, "", 0, ""},
            {Add, Ask, Ask, "sub\\deep\\new.dat", "Data", "", 0, dataNew, newTime, Insert(dataNew) + End},
            {Add, Ask, Ask, "top.txt", "", "", 0, topNew, newTime, Insert(topNew) + End},
        };
    }
    // A large added file, big.bin, that keeps the build busy: every percent pauses 100 ms.
    Entry BigFile() const
    {
        std::string big;
        for (int i = 0; big.size() < 60000; ++i) big += "block " + std::to_string(i) + "\r\n";
        std::string script;
        for (size_t at = 0; at < big.size(); at += 1000) script += Insert(big.substr(at, 1000));
        return {Add, Ask, Ask, "big.bin", "Large file", "", 0, big, newTime, script + End};
    }
    // Lays the old release and writes the package that upgrades it: its four files and, with
    // busy, the large file.
    bool Stage(const std::string& package, const std::string& title, bool busy = false) const
    {
        std::vector<Entry> entries = Entries();
        if (busy) entries.push_back(BigFile());
        return Lay() && Put(package, Package(title, "", entries));
    }
    // Fails the calling case unless the folder holds the upgraded release.
    std::string Upgraded() const
    {
        if (Content(folder + "\\readme.txt") != readmeNew) return "readme not patched";
        if (DosTimeOf(folder + "\\readme.txt") != newTime) return "readme time";
        if (Exists(folder + "\\old.dll")) return "old.dll still there";
        if (Content(folder + "\\sub\\deep\\new.dat") != dataNew) return "sub\\deep\\new.dat";
        if (DosTimeOf(folder + "\\sub\\deep\\new.dat") != newTime) return "new.dat time";
        if (Content(folder + "\\top.txt") != topNew) return "top.txt";
        if (Content(folder + "\\keep.txt") != "untouched") return "keep.txt touched";
        if (Exists(folder + "\\__QZUPD_")) return "scratch folder left";
        return "upgraded";
    }
    std::string Unchanged() const
    {
        if (Content(folder + "\\readme.txt") != readmeOld) return "readme changed";
        if (DosTimeOf(folder + "\\readme.txt") != oldTime) return "readme time changed";
        if (Content(folder + "\\old.dll") != dllOld) return "old.dll changed";
        if (Exists(folder + "\\sub") || Exists(folder + "\\top.txt")) return "files added";
        if (Exists(folder + "\\__QZUPD_")) return "scratch folder left";
        return "unchanged";
    }
};

bool ReadyState(HWND main)
{
    return IsWindowEnabled(main) && ItemText(main, IDC_MAIN_APPLY) == "&Apply" &&
        IsWindowEnabled(GetDlgItem(main, IDC_MAIN_FOLDER));
}

void CaseFullApply()
{
    Install in("D:\\full\\product\\release", "full");
    CHECK(in.Lay());
    CHECK(Put("D:\\full\\p.upg", Package("Full apply", "notes", in.Entries())));
    App app("upgsetup.exe D:\\full\\p.upg");
    HWND main = MainShowing(app, "d:\\full\\product\\release");
    CHECK(main);
    CHECK(Click(main, IDC_MAIN_APPLY));
    HWND progress = WaitTop(app.pid(), IsProgress);
    CHECK(progress);
    CHECK(GetWindow(progress, GW_OWNER) == main);
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_APPLY) == "Done"; }, 20000));
    CHECK(Gone(progress));
    CHECK_EQ(in.Upgraded(), "upgraded");
    CHECK(IsWindowEnabled(main));
    CHECK(!IsWindowEnabled(GetDlgItem(main, IDC_MAIN_FOLDER)));
    CHECK(WaitUntil([&] { return FocusOf(main) == GetDlgItem(main, IDC_MAIN_APPLY); }));
    // Done closes the program.
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(app.ExitCode() == 1);
}

void CaseQuestionNoThenYes()
{
    Install in("D:\\ask\\inst", "ask");
    in.oldTime = Dos(2003, 3, 4, 5, 6, 8);
    CHECK(in.Lay());
    // The readme on disk has the expected content but another date: a soft finding, asked.
    std::vector<Entry> entries = in.Entries(Ask);
    entries[0].oldTime = Dos(2002, 1, 1, 1, 1, 2);
    CHECK(Put("D:\\ask\\p.upg", Package("Question", "", entries)));
    App app("upgsetup.exe D:\\ask\\p.upg");
    HWND main = MainShowing(app, "d:\\ask\\inst");
    CHECK(main);
    const std::string question = Question(Patch, "readme.txt", "The readme", 10, 7);

    CHECK(Click(main, IDC_MAIN_APPLY));
    MsgBox m = WaitMsgBox(app.pid());
    CHECK(m.h);
    HWND progress = FindTop(app.pid(), IsProgress);
    CHECK(progress);
    CHECK(GetWindow(m.h, GW_OWNER) == progress);
    CHECK_EQ(m.caption, Wording[3]);
    CHECK_EQ(m.text, question);
    CHECK(m.yes && m.no && !m.ok);
    CHECK(m.icon);
    CHECK(!IsWindowEnabled(main));
    Capture(m.h, "question");
    CHECK(Answer(m, IDNO));
    CHECK(Gone(progress));
    CHECK(WaitUntil([&] { return ReadyState(main); }));
    CHECK_EQ(in.Unchanged(), "unchanged");

    // Apply again starts from the beginning and asks again.
    CHECK(Click(main, IDC_MAIN_APPLY));
    m = WaitMsgBox(app.pid());
    CHECK(m.h);
    CHECK_EQ(m.text, question);
    CHECK(Answer(m, IDYES));
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_APPLY) == "Done"; }, 20000));
    CHECK_EQ(in.Upgraded(), "upgraded");
    CHECK(PressKey(main, VK_ESCAPE));
    CHECK(app.ExitCode() == 1);
}

// Fraction of the bar's inner row painted blue, read from the screen.
double BlueFraction(HWND progress)
{
    HWND bar = GetDlgItem(progress, IDC_PROGRESS_BAR);
    RECT r;
    GetClientRect(bar, &r);
    // A row above the centred percentage text.
    POINT p{r.left, r.top + 2};
    ClientToScreen(bar, &p);
    HDC screen = GetDC(NULL);
    int blue = 0, inner = r.right - r.left - 2;
    for (int x = 1; x <= inner; ++x)
        if (GetPixel(screen, p.x + x, p.y) == RGB(0, 0, 255)) ++blue;
    ReleaseDC(NULL, screen);
    return inner > 0 ? (double)blue / inner : 0;
}

void CaseCancelDuringBuild()
{
    Install in("D:\\cancel\\inst", "cancel");
    CHECK(in.Stage("D:\\cancel\\p.upg", "Cancel", true));

    App app("upgsetup.exe D:\\cancel\\p.upg");
    HWND main = MainShowing(app, "d:\\cancel\\inst");
    CHECK(main);
    CHECK(Click(main, IDC_MAIN_APPLY));
    HWND progress = WaitTop(app.pid(), IsProgress);
    CHECK(progress);
    CHECK_EQ(Text(progress), Wording[3]);
    CHECK_EQ(ItemText(progress, IDC_PROGRESS_CANCEL), Wording[4]);
    // Centred on the screen.
    RECT r;
    GetWindowRect(progress, &r);
    int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    CHECK(r.left == (cx - (r.right - r.left)) / 2 && r.top == (cy - (r.bottom - r.top)) / 2);
    // Wait until the large file is being built and the bar is partly filled.
    CHECK(WaitUntil([&] { return ItemText(progress, IDC_PROGRESS_FILE) == "big.bin" && BlueFraction(progress) > 0.05; },
                    20000));
    CHECK_EQ(ItemText(progress, IDC_PROGRESS_OPERATION), WordPart(1, Add));
    double fraction = BlueFraction(progress);
    CHECK(fraction > 0.05 && fraction < 0.95);
    Capture(progress, "progress");

    // Cancel, then No: the work goes on.
    CHECK(Click(progress, IDCANCEL));
    MsgBox m = WaitMsgBox(app.pid());
    CHECK(m.h);
    CHECK_EQ(m.text, Wording[8]);
    CHECK_EQ(m.caption, Wording[3]);
    CHECK(m.yes && m.no);
    CHECK(Answer(m, IDNO));
    CHECK(WaitUntil([&] { return BlueFraction(progress) > fraction + 0.02; }));

    // Cancel again, then Yes: the installation stays as it was.
    CHECK(Click(progress, IDCANCEL));
    m = WaitMsgBox(app.pid());
    CHECK(m.h);
    CHECK_EQ(m.text, Wording[8]);
    CHECK(Answer(m, IDYES));
    CHECK(Gone(progress));
    CHECK(WaitUntil([&] { return ReadyState(main); }));
    CHECK_EQ(in.Unchanged(), "unchanged");
    CHECK(!Exists(in.folder + "\\big.bin"));
    CHECK(PostMessageA(main, WM_CLOSE, 0, 0));
    CHECK(app.ExitCode() == 1);
}

// An installation whose commit is long enough to be killed in: patches and many deletions,
// every one under hard policy Abort, so that no question could ever let a half-done
// installation through and the search cannot take it for the old release.
struct LongCommit {
    std::string folder;
    uint32_t oldTime = Dos(2004, 4, 5, 6, 7, 8), newTime = Dos(2011, 7, 8, 9, 10, 12);
    std::vector<Entry> entries;

    explicit LongCommit(const std::string& f) : folder(f)
    {
        for (int i = 0; i < 20; ++i) {
            std::string name = "bin\\lib" + std::to_string(i) + ".dll";
            std::string older = "library " + std::to_string(i) + " release 1\r\n",
                        newer = "library " + std::to_string(i) + " release 2\r\n";
            entries.push_back({Patch, Abort, Abort, name, "", older, oldTime, newer, newTime, Insert(newer) + End});
        }
        for (int i = 0; i < 400; ++i) {
            std::string name = "old\\part" + std::to_string(i % 4) + "\\f" + std::to_string(i) + ".txt";
            entries.push_back({Delete, Abort, Abort, name, "", "obsolete " + std::to_string(i), oldTime, "", 0, ""});
        }
    }
    bool Lay() const
    {
        for (const Entry& e : entries)
            if (!Put(folder + "\\" + e.name, e.oldBytes, oldTime)) return false;
        return Put(folder + "\\keep.txt", "untouched", oldTime);
    }
    std::string Upgraded() const
    {
        for (const Entry& e : entries) {
            std::string path = folder + "\\" + e.name;
            if (e.kind == Patch && (Content(path) != e.newBytes || DosTimeOf(path) != newTime))
                return e.name + " not new";
            if (e.kind == Delete && Exists(path)) return e.name + " still there";
        }
        if (Exists(folder + "\\old")) return "emptied folders left";
        if (Content(folder + "\\keep.txt") != "untouched") return "keep.txt touched";
        if (Exists(folder + "\\__QZUPD_")) return "scratch folder left";
        return "upgraded";
    }
};

int CountFiles(const std::string& pattern)
{
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(pattern.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    do ++n;
    while (FindNextFileA(h, &found));
    FindClose(h);
    return n;
}

// Killed in the middle of its commit, the program leaves a journal; run again, it finds the
// installation, finishes the commit without a question and ends with Done.
void CaseKilledDuringCommit()
{
    LongCommit in("D:\\killed\\inst");
    CHECK(in.Lay());
    CHECK(Put("D:\\killed\\p.upg", Package("Killed", "", in.entries)));
    const std::string scratch = in.folder + "\\__QZUPD_";
    {
        App app("upgsetup.exe D:\\killed\\p.upg");
        HWND main = app.Main();
        CHECK(main);
        CHECK_EQ(ItemText(main, 102), "d:\\killed\\inst");
        CHECK(Click(main, 300));
        // The commit has begun once the journal is there and files are moving to their backups.
        CHECK(WaitUntil([&] { return Exists(scratch + "\\COMMIT.JNL") && CountFiles(scratch + "\\*.OLD") >= 30; },
                        30000));
        CHECK(TerminateProcess(app.pi.hProcess, 9));
        CHECK(app.ExitCode() == 9);
    }
    CHECK(Exists(scratch + "\\COMMIT.JNL"));
    int backups = CountFiles(scratch + "\\*.OLD");
    CHECK(backups >= 30 && backups < (int)in.entries.size());

    App app("upgsetup.exe D:\\killed\\p.upg");
    HWND main = app.Main();
    CHECK(main);
    CHECK_EQ(ItemText(main, 102), "d:\\killed\\inst");
    CHECK(Click(main, 300));
    CHECK(WaitUntil([&] { return ItemText(main, 300) == "Done" || FindTop(app.pid(), IsMessageBox); }, 30000));
    CHECK(!FindTop(app.pid(), IsMessageBox));
    CHECK_EQ(ItemText(main, 300), "Done");
    CHECK_EQ(in.Upgraded(), "upgraded");
    CHECK(Click(main, 300));
    CHECK(app.ExitCode() == 1);
}

// While an apply runs, the main window neither closes nor starts a second apply: a close
// request, or Escape's cancel, asks to cancel the apply; a second Apply does nothing.
void CaseMainDuringApply()
{
    Install in("D:\\busy\\inst", "busy");
    CHECK(in.Stage("D:\\busy\\p.upg", "Busy", true));

    App app("upgsetup.exe D:\\busy\\p.upg");
    HWND main = app.Main();
    CHECK(main);
    CHECK(Click(main, 300));
    HWND progress = WaitTop(app.pid(), IsProgress);
    CHECK(progress);
    CHECK(WaitUntil([&] { return ItemText(progress, 101) == "big.bin" && BlueFraction(progress) > 0.05; }, 20000));

    // A second Apply, posted as automation would: nothing opens, nothing is said, work goes on.
    double fraction = BlueFraction(progress);
    CHECK(PostMessageA(main, WM_COMMAND, 300, 0));
    CHECK(WaitUntil([&] { return BlueFraction(progress) > fraction + 0.02; }));
    CHECK(!FindTop(app.pid(), IsMessageBox));
    CHECK(TopWindows(app.pid()).size() == 2);

    // End task's close: the usual confirmation; No lets the apply go on with both windows.
    CHECK(PostMessageA(main, WM_CLOSE, 0, 0));
    MsgBox m = WaitMsgBox(app.pid());
    CHECK(m.h);
    CHECK_EQ(m.text, Wording[8]);
    CHECK(GetWindow(m.h, GW_OWNER) == progress);
    CHECK(Answer(m, IDNO));
    CHECK(IsWindow(main) && IsWindow(progress));
    fraction = BlueFraction(progress);
    CHECK(WaitUntil([&] { return BlueFraction(progress) > fraction + 0.02; }));

    // Escape's cancel command to the main window, then Yes: cancelled, the window is Ready.
    CHECK(PostMessageA(main, WM_COMMAND, IDCANCEL, 0));
    m = WaitMsgBox(app.pid());
    CHECK(m.h);
    CHECK_EQ(m.text, Wording[8]);
    CHECK(Answer(m, IDYES));
    CHECK(Gone(progress));
    CHECK(WaitUntil([&] { return ReadyState(main); }));
    CHECK(IsWindowVisible(main));
    CHECK_EQ(in.Unchanged(), "unchanged");
    CHECK(PostMessageA(main, WM_CLOSE, 0, 0));
    CHECK(app.ExitCode() == 1);
}

// The folder chooser: cancelled it changes nothing; a chosen folder becomes the target.
void CaseFolderChooser()
{
    // The same release twice; the search finds the shallower one.
    Install one("D:\\fold\\one", "fold"), two("D:\\fold\\other\\two", "fold");
    CHECK(one.Lay() && two.Lay());
    CHECK(Put("D:\\fold\\p.upg", Package("Folders", "", one.Entries())));
    App app("upgsetup.exe D:\\fold\\p.upg");
    HWND main = MainShowing(app, "d:\\fold\\one");
    CHECK(main);

    CHECK(Click(main, IDC_MAIN_FOLDER));
    HWND browse = WaitTop(app.pid(), IsBrowse);
    CHECK(browse);
    CHECK_EQ(Text(browse), "Browse");
    CHECK(WaitUntil([&] { return ItemText(browse, stc1) == "d:\\fold\\one"; }));
    CHECK(!IsWindowVisible(GetDlgItem(browse, edt1)) && !IsWindowVisible(GetDlgItem(browse, lst1)));
    CHECK(!IsWindowVisible(GetDlgItem(browse, pshHelp)));
    CHECK(Click(browse, IDCANCEL));
    CHECK(Gone(browse));
    CHECK(WaitUntil([&] { return IsWindowEnabled(main); }));
    CHECK_EQ(ItemText(main, IDC_MAIN_FOLDER_TEXT), "d:\\fold\\one");

    // Up one level, down to other\two, OK.
    CHECK(Click(main, IDC_MAIN_FOLDER));
    browse = WaitTop(app.pid(), IsBrowse);
    CHECK(browse);
    HWND list = GetDlgItem(browse, lst2);
    for (const char* step : {"[..]", "[other]", "[two]"}) {
        int i = (int)SendMessageA(list, LB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)step);
        CHECK(i >= 0);
        SendMessageA(list, LB_SETCURSEL, i, 0);
        std::string now = ItemText(browse, stc1);
        PostMessageA(browse, WM_COMMAND, MAKEWPARAM(lst2, LBN_DBLCLK), (LPARAM)list);
        CHECK(WaitUntil([&] { return ItemText(browse, stc1) != now; }));
    }
    CHECK_EQ(ItemText(browse, stc1), "d:\\fold\\other\\two");
    CHECK(Click(browse, IDOK));
    CHECK(Gone(browse));
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_FOLDER_TEXT) == "d:\\fold\\other\\two"; }));

    // The apply goes to the chosen folder only.
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_APPLY) == "Done"; }, 20000));
    CHECK_EQ(two.Upgraded(), "upgraded");
    CHECK_EQ(one.Unchanged(), "unchanged");
    // Enter presses the default button, Done.
    CHECK(PressKey(main, VK_RETURN));
    CHECK(app.ExitCode() == 1);
}

// A finding under the Abort policy: the question, and after Yes the information box; the apply
// stops and the window stays Ready. The search finds nothing, so the Windows directory is the
// target, and it does not hold the file.
void CaseAbortInformation()
{
    const std::string name = "e2e-abort-missing.txt";
    std::vector<Entry> entries = {
        {Patch, Ask, Abort, name, "", "x", Dos(2001, 1, 1, 0, 0, 0), "y", Dos(2001, 1, 1, 0, 0, 0), Insert("y") + End}};
    CHECK(Put("D:\\abort\\p.upg", Package("Abort", "", entries)));
    App app("upgsetup.exe D:\\abort\\p.upg");
    HWND main = app.Main();
    CHECK(main);
    CHECK(Click(main, IDC_MAIN_APPLY));
    MsgBox m = WaitMsgBox(app.pid());
    CHECK(m.h);
    CHECK_EQ(m.text, Question(Patch, name, "", 16, 19));
    CHECK(m.yes && m.no);
    CHECK(Answer(m, IDYES));
    m = WaitMsgBox(app.pid());
    CHECK(m.h);
    HWND progress = FindTop(app.pid(), IsProgress);
    CHECK(progress && GetWindow(m.h, GW_OWNER) == progress);
    CHECK_EQ(m.caption, Wording[3]);
    CHECK_EQ(m.text, Wording[13]);
    CHECK(m.ok && !m.yes && !m.cancel);
    CHECK(m.icon);
    CHECK(Answer(m, IDOK));
    CHECK(Gone(progress));
    CHECK(WaitUntil([&] { return ReadyState(main); }));
    CHECK(PostMessageA(main, WM_CLOSE, 0, 0));
    CHECK(app.ExitCode() == 1);
}

// The package with the seal `upg build` appends, signed when a key is given.
std::string Sealed(const std::string& package, const std::vector<Entry>& entries, const PublisherKey* signer)
{
    PackageSeal seal;
    seal.Allocate((int)entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        seal.kinds[i] = (uint8_t)e.kind;
        DigestOf(e.newBytes.data(), e.newBytes.size(), seal.NewDigestSlot((int)i));
        DigestOf(e.oldBytes.data(), e.oldBytes.size(), seal.OldDigestSlot((int)i));
    }
    DigestOf(package.data(), package.size(), seal.packageDigest);
    MemoryStream out((uint32_t)package.size() + 4096, 4096);
    out.Write(package.data(), (uint32_t)package.size());
    if (!WriteSeal(&out, &seal, signer)) return "";
    return std::string((const char*)out.block, out.Size());
}

bool NewKey(PublisherKey* key)
{
    key->hasPrivate = 1;
    return GenerateKeyPair(key->privateKey, key->publicKey) == 1;
}

// A pinned publisher key refuses another signer and an unsigned seal with a message before
// anything changes, and applies its own; a sealed package changed since is refused at start-up.
void CaseSealedPackages()
{
    Install in("D:\\sealed\\product", "sealed");
    CHECK(in.Lay());
    PublisherKey publisher, stranger;
    CHECK(NewKey(&publisher) && NewKey(&stranger));
    char pem[512];
    size_t n = PublicKeyPem(&publisher, pem, sizeof pem);
    CHECK(n && Put(in.folder + "\\upgtrust.pem", std::string(pem, n)));
    std::vector<Entry> entries = in.Entries();
    std::string plain = Package("Sealed", "", entries);
    struct Row {
        const char* tag;
        const PublisherKey* signer;
        const char* says;
    } rows[] = {
        {"other", &stranger, "another key"}, {"unsigned", nullptr, "not signed"}, {"good", &publisher, nullptr}};
    for (const Row& r : rows) {
        std::string pkg = std::string("D:\\sealed\\") + r.tag + ".upg";
        std::string bytes = Sealed(plain, entries, r.signer);
        CHECK(!bytes.empty() && Put(pkg, bytes));
        App app("upgsetup.exe " + pkg);
        HWND main = app.Main();
        CHECK(main);
        CHECK(Click(main, 300));
        if (!r.says) {
            CHECK(WaitUntil([&] { return ItemText(main, 300) == "Done"; }, 20000));
            CHECK_EQ(in.Upgraded(), "upgraded");
            CHECK(Click(main, 300));
            CHECK(app.ExitCode() == 1);
            break;
        }
        MsgBox m = WaitMsgBox(app.pid());
        CHECK(m.h);
        CHECK(m.text.find(r.says) != std::string::npos);
        CHECK_EQ(m.caption, Wording[3]);
        CHECK(m.ok && !m.yes && m.icon);
        CHECK(Answer(m, IDOK));
        CHECK(WaitUntil([&] { return ReadyState(main); }));
        CHECK_EQ(in.Unchanged(), "unchanged");
        CHECK(PostMessageA(main, WM_CLOSE, 0, 0));
        CHECK(app.ExitCode() == 1);
    }
    std::string damaged = Sealed(plain, entries, nullptr);
    CHECK(!damaged.empty());
    damaged[12] ^= 1;   // a letter of the title
    CHECK(Put("D:\\sealed\\damaged.upg", damaged));
    ExpectRefused("upgsetup.exe D:\\sealed\\damaged.upg");
}

// A drive root chosen in the chooser keeps its backslash.
void CaseFolderRoot()
{
    CHECK(Put("D:\\root\\p.upg", Package("Root", "", {})));
    App app("upgsetup.exe D:\\root\\p.upg");
    HWND main = app.Main();
    CHECK(main);
    CHECK(Click(main, IDC_MAIN_FOLDER));
    HWND browse = WaitTop(app.pid(), IsBrowse);
    CHECK(browse);
    HWND drives = GetDlgItem(browse, cmb2);
    int i = (int)SendMessageA(drives, CB_FINDSTRING, (WPARAM)-1, (LPARAM) "[-e-]");
    CHECK(i >= 0);
    SendMessageA(drives, CB_SETCURSEL, i, 0);
    PostMessageA(browse, WM_COMMAND, MAKEWPARAM(cmb2, CBN_SELCHANGE), (LPARAM)drives);
    CHECK(WaitUntil([&] { return ItemText(browse, stc1) == "e:\\"; }));
    CHECK(Click(browse, IDOK));
    CHECK(Gone(browse));
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_FOLDER_TEXT) == "e:\\"; }));
    // An empty package applies to the root as to any folder.
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_APPLY) == "Done"; }, 20000));
    CHECK(PostMessageA(main, WM_CLOSE, 0, 0));
    CHECK(app.ExitCode() == 1);
}

// A bundle beside the program: packages from 1.0, 1.1 and 1.2 (the base) straight to 1.3.
// Each release's files carry a tag, so that the installations of one run match only its own.
struct ReleaseChain {
    std::string tag, dir;
    uint32_t oldTime = Dos(2004, 1, 2, 3, 4, 6), newTime = Dos(2011, 5, 6, 7, 8, 10);
    ReleaseChain(const std::string& t, const std::string& d) : tag(t), dir(d) {}
    std::string File(const std::string& name, const std::string& version) const
    {
        return name + " of release " + version + " (" + tag + ")\r\n";
    }
    bool Lay(const std::string& folder, const std::string& version) const
    {
        return Put(folder + "\\core.dat", File("core", version), oldTime) &&
            Put(folder + "\\readme.txt", File("readme", version), oldTime) &&
            (version != "1.0" || Put(folder + "\\legacy.txt", File("legacy", version), oldTime));
    }
    std::string PackageFrom(const std::string& version) const
    {
        std::vector<Entry> entries;
        for (const char* name : {"core.dat", "readme.txt"}) {
            std::string stem = std::string(name).substr(0, std::string(name).find('.'));
            std::string now = File(stem, "1.3");
            entries.push_back(
                {Patch, Ask, Ask, name, "", File(stem, version), oldTime, now, newTime, Insert(now) + End});
        }
        if (version == "1.0")
            entries.push_back({Delete, Ask, Ask, "legacy.txt", "", File("legacy", version), oldTime, "", 0, ""});
        std::string added = File("added", "1.3");
        entries.push_back({Add, Ask, Ask, "added.txt", "", "", 0, added, newTime, Insert(added) + End});
        return Package("From " + version + " (" + tag + ")", "", entries);
    }
    bool Write() const
    {
        return Put(dir + "\\p-from-01-1.0.upg", PackageFrom("1.0")) &&
            Put(dir + "\\p-from-02-1.1.upg", PackageFrom("1.1")) && Put(dir + "\\p.upg", PackageFrom("1.2"));
    }
    std::string Upgraded(const std::string& folder) const
    {
        if (Content(folder + "\\core.dat") != File("core", "1.3")) return "core.dat";
        if (Content(folder + "\\readme.txt") != File("readme", "1.3")) return "readme.txt";
        if (Content(folder + "\\added.txt") != File("added", "1.3")) return "added.txt";
        if (Exists(folder + "\\legacy.txt")) return "legacy.txt still there";
        return "upgraded";
    }
};

// Applies what the main window shows and closes the program.
void ApplyAndClose(App& app, HWND main)
{
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_APPLY) == "Done"; }, 20000));
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(app.ExitCode() == 1);
}

void CaseBundleOfReleases()
{
    // Found by the one walk: 1.0, then 1.2, each with its own package shown and applied.
    for (const char* version : {"1.0", "1.2"}) {
        ReleaseChain chain(std::string("found ") + version, std::string("D:\\chain") + version[2]);
        std::string folder = chain.dir + "\\apps\\product";
        CHECK(chain.Write() && chain.Lay(folder, version));
        App app("upgsetup.exe " + chain.dir + "\\p.upg");
        HWND main = app.Main();
        CHECK(main);
        CHECK_EQ(ItemText(main, IDC_MAIN_FOLDER_TEXT), Lower(folder));
        CHECK_EQ(Text(main), "From " + std::string(version) + " (" + chain.tag + ")");
        ApplyAndClose(app, main);
        CHECK_EQ(chain.Upgraded(folder), "upgraded");
    }
    // Nothing installed: the Windows folder and the base package; then 1.1 in a folder picked by
    // hand, whose package the window then shows and Apply applies.
    ReleaseChain chain("picked", "D:\\chainp");
    CHECK(chain.Write());
    App app("upgsetup.exe " + chain.dir + "\\p.upg");
    HWND main = app.Main();
    CHECK(main);
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    CHECK_EQ(ItemText(main, IDC_MAIN_FOLDER_TEXT), Lower(windows));
    CHECK_EQ(Text(main), "From 1.2 (picked)");
    CHECK(chain.Lay("E:\\picked11", "1.1"));
    CHECK(Click(main, IDC_MAIN_FOLDER));
    HWND browse = WaitTop(app.pid(), IsBrowse);
    CHECK(browse);
    HWND drives = GetDlgItem(browse, cmb2);
    int i = (int)SendMessageA(drives, CB_FINDSTRING, (WPARAM)-1, (LPARAM) "[-e-]");
    CHECK(i >= 0);
    SendMessageA(drives, CB_SETCURSEL, i, 0);
    PostMessageA(browse, WM_COMMAND, MAKEWPARAM(cmb2, CBN_SELCHANGE), (LPARAM)drives);
    CHECK(WaitUntil([&] { return ItemText(browse, stc1) == "e:\\"; }));
    HWND list = GetDlgItem(browse, lst2);
    i = (int)SendMessageA(list, LB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM) "[picked11]");
    CHECK(i >= 0);
    SendMessageA(list, LB_SETCURSEL, i, 0);
    PostMessageA(browse, WM_COMMAND, MAKEWPARAM(lst2, LBN_DBLCLK), (LPARAM)list);
    CHECK(WaitUntil([&] { return ItemText(browse, stc1) == "e:\\picked11"; }));
    CHECK(Click(browse, IDOK));
    CHECK(Gone(browse));
    CHECK(WaitUntil([&] { return Text(main) == "From 1.1 (picked)"; }));
    ApplyAndClose(app, main);
    CHECK_EQ(chain.Upgraded("E:\\picked11"), "upgraded");
}

// ---- resources and exports of the program file ---------------------------------------------

struct Control {
    int id;
    const char* cls;
    const char* text;
    short x, y, cx, cy;
    DWORD style;
};

struct Reader {
    const BYTE* p;
    WORD Word()
    {
        WORD w = *(const WORD*)p;
        p += 2;
        return w;
    }
    DWORD Dword()
    {
        DWORD d = *(const DWORD*)p;
        p += 4;
        return d;
    }
    std::string Name()   // ordinal (0xFFFF + atom) or NUL-terminated UTF-16
    {
        std::string s;
        if (*(const WORD*)p == 0xFFFF) {
            p += 2;
            WORD atom = Word();
            static const char* atoms[] = {"BUTTON", "EDIT", "STATIC", "LISTBOX", "SCROLLBAR", "COMBOBOX"};
            return atom >= 0x80 && atom <= 0x85 ? atoms[atom - 0x80] : "#" + std::to_string(atom);
        }
        for (WORD c; (c = Word()) != 0;) s += (char)c;
        return s;
    }
    void Align() { p = (const BYTE*)(((uintptr_t)p + 3) & ~(uintptr_t)3); }
};

std::string CheckTemplate(HMODULE module, const char* name, DWORD style, short x, short y, short cx, short cy,
                          const char* cls, const char* caption, const char* font, const std::vector<Control>& items)
{
    HRSRC r = FindResourceA(module, name, (LPCSTR)RT_DIALOG);
    if (!r) return std::string(name) + ": missing";
    Reader rd{(const BYTE*)LockResource(LoadResource(module, r))};
    char buf[512];
    DWORD s = rd.Dword();
    rd.Dword();
    WORD n = rd.Word();
    short d[4];
    for (short& v : d) v = (short)rd.Word();
    std::string menu = rd.Name(), c = rd.Name(), cap = rd.Name();
    WORD points = rd.Word();
    std::string f = rd.Name();
    if (s != style || d[0] != x || d[1] != y || d[2] != cx || d[3] != cy || n != items.size() || !menu.empty() ||
        c != cls || cap != caption || points != 8 || f != font) {
        snprintf(buf, sizeof buf, "%s: header %08lx %d,%d,%d,%d n=%u class %s caption %s font %u %s", name, s, d[0],
                 d[1], d[2], d[3], n, c.c_str(), cap.c_str(), points, f.c_str());
        return buf;
    }
    for (const Control& want : items) {
        rd.Align();
        DWORD cs = rd.Dword();
        rd.Dword();
        short v[4];
        for (short& e : v) e = (short)rd.Word();
        short id = (short)rd.Word();
        std::string ccls = rd.Name(), text = rd.Name();
        rd.p += rd.Word();
        if (id != want.id || ccls != want.cls || text != want.text || v[0] != want.x || v[1] != want.y ||
            v[2] != want.cx || v[3] != want.cy || cs != want.style) {
            snprintf(buf, sizeof buf, "%s: control %d %s \"%s\" %d,%d,%d,%d %08lx", name, id, ccls.c_str(),
                     text.c_str(), v[0], v[1], v[2], v[3], cs);
            return buf;
        }
    }
    return "ok";
}

// Names the program file exports, read from its export directory.
std::vector<std::string> Exports(const std::string& path)
{
    std::vector<std::string> names;
    std::string f;
    if (!Slurp(path, &f) || f.size() < 0x200) return names;
    const BYTE* b = (const BYTE*)f.data();
    const IMAGE_NT_HEADERS32* nt = (const IMAGE_NT_HEADERS32*)(b + ((const IMAGE_DOS_HEADER*)b)->e_lfanew);
    const IMAGE_SECTION_HEADER* sec = IMAGE_FIRST_SECTION(nt);
    auto at = [&](DWORD rva) -> const BYTE* {
        for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i)
            if (rva >= sec[i].VirtualAddress && rva < sec[i].VirtualAddress + sec[i].SizeOfRawData)
                return b + sec[i].PointerToRawData + (rva - sec[i].VirtualAddress);
        return NULL;
    };
    // The data directories sit further on in a 64-bit program's optional header.
    const IMAGE_DATA_DIRECTORY* dirs = nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
        ? ((const IMAGE_NT_HEADERS64*)nt)->OptionalHeader.DataDirectory
        : nt->OptionalHeader.DataDirectory;
    DWORD dir = dirs[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
    const IMAGE_EXPORT_DIRECTORY* ed = dir ? (const IMAGE_EXPORT_DIRECTORY*)at(dir) : NULL;
    if (!ed) return names;
    const DWORD* nameRvas = (const DWORD*)at(ed->AddressOfNames);
    for (DWORD i = 0; nameRvas && i < ed->NumberOfNames; ++i) names.push_back((const char*)at(nameRvas[i]));
    return names;
}

void CaseProgramFile()
{
    HMODULE m = LoadLibraryExA(Exe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    CHECK(m);
    // The numbers stay literal here: they check the shared control ids as much as the templates.
    CHECK_EQ(CheckTemplate(m, "MAIN", 0x00C80040, 76, 66, 247, 157, "UpgSetup", "UpgApply", "MS Sans Serif",
                           {{300, "BUTTON", "&Apply", 99, 131, 49, 17, 0x50030001},
                            {101, "EDIT", "", 5, 7, 234, 76, 0x50A10844},
                            {-1, "BUTTON", "", 6, 86, 232, 27, 0x50000007},
                            {102, "STATIC", "", 45, 97, 186, 11, 0x5002008C},
                            {103, "BUTTON", "&Folder", 10, 95, 29, 13, 0x50010020}}),
             "ok");
    CHECK_EQ(CheckTemplate(m, "UPGSEARCH", 0x90400040, 106, 86, 176, 27, "", "", "MS Sans Serif",
                           {{-1, "STATIC", "Searching for installed components...", 9, 10, 159, 10, 0x50020001}}),
             "ok");
    CHECK_EQ(CheckTemplate(m, "UPGPROGRESS", 0x90C800C0, 52, 58, 228, 94, "", "Cap", "MS Sans Serif",
                           {{103, "STATIC", "Op", 7, 7, 52, 10, 0x50020000},
                            {101, "STATIC", "fnm", 64, 7, 156, 10, 0x50020000},
                            {102, "STATIC", "desc", 64, 21, 156, 10, 0x50020000},
                            {105, "STATIC", "", 20, 42, 188, 14, 0x50800009},
                            {2, "BUTTON", "Cncl", 93, 68, 41, 14, 0x50010000}}),
             "ok");
    CHECK_EQ(CheckTemplate(m, "BROWSE", 0x80C820C4, 26, 27, 223, 139, "", "Change Target Folder", "Helv",
                           {{-1, "STATIC", "&Folders:", 8, 6, 147, 9, 0x50020000},
                            {1088, "STATIC", "", 8, 18, 147, 9, 0x50020080},
                            {1121, "LISTBOX", "", 8, 32, 147, 68, 0x50A11053},
                            {1091, "STATIC", "Dri&ves:", 8, 104, 147, 9, 0x50020000},
                            {1137, "COMBOBOX", "", 8, 114, 147, 68, 0x50A10353},
                            {1, "BUTTON", "OK", 167, 6, 50, 14, 0x50030001},
                            {2, "BUTTON", "Cancel", 167, 24, 50, 14, 0x50030000},
                            {1038, "BUTTON", "&Help", 167, 46, 50, 14, 0x50030000},
                            {1090, "STATIC", "File &name:", 260, 8, 76, 9, 0x50020000},
                            {1152, "EDIT", "", 259, 18, 90, 12, 0x40800480},
                            {1120, "LISTBOX", "", 260, 34, 90, 68, 0x40A01053},
                            {1089, "STATIC", "List files of &type:", 260, 106, 90, 9, 0x50020000},
                            {1136, "COMBOBOX", "", 260, 116, 90, 96, 0x40A00043},
                            {1040, "BUTTON", "&Read only", 282, 143, 50, 12, 0x40000003}}),
             "ok");
    // Icon 1: one image, 32 x 32 in 16 colours.
    HRSRC g = FindResourceA(m, MAKEINTRESOURCEA(1), (LPCSTR)RT_GROUP_ICON);
    CHECK(g);
    const BYTE* grp = (const BYTE*)LockResource(LoadResource(m, g));
    CHECK(grp && *(const WORD*)(grp + 4) == 1 && grp[6] == 32 && grp[7] == 32 && grp[8] == 16);
    CHECK(FindResourceA(m, "UPGAPPLYUI", (LPCSTR)RT_RCDATA));
    FreeLibrary(m);

    std::vector<std::string> names = Exports(Exe);
    for (const char* want : {"WndProc", "UpgSearchDlg", "UpgProgressDlg"}) {
        bool found = false;
        for (const std::string& n : names) found = found || n == want;
        CHECK_EQ(found ? want : "<not exported>", want);
    }
}

// Every file under root, as names relative to it.
void ListTree(const std::string& root, const std::string& rel, std::vector<std::string>* out)
{
    WIN32_FIND_DATAA f;
    HANDLE h = FindFirstFileA(((rel.empty() ? root : root + "\\" + rel) + "\\*").c_str(), &f);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = f.cFileName, path = rel.empty() ? name : rel + "\\" + name;
        if (name == "." || name == "..") continue;
        if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListTree(root, path, out);
        else
            out->push_back(path);
    } while (FindNextFileA(h, &f));
    FindClose(h);
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix)
{
    return Lower(s.substr(0, prefix.size())) == Lower(prefix);
}

// What a publisher ships, made by upg build --bundle under a name of its own, run on a copy of
// the old example release that has a stray copy of a file the upgrade adds (a question).
// BASE.log in the temporary folder, replaced, holds every step with a timestamp.
void CaseShippedBundle()
{
    const std::string bundle = Work + "\\bundle", folder = "D:\\shipped\\Example 1.0";
    std::vector<std::string> shipped, oldFiles, newFiles, now;
    ListTree(bundle, "", &shipped);
    CHECK(shipped.size() == 3);
    const std::string base = shipped[0].substr(0, shipped[0].rfind('.'));
    CHECK(Lower(base) != "upgsetup");
    for (const char* ext : {".exe", ".upg", ".uui"}) CHECK(Exists(bundle + "\\" + base + ext));
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, temp);
    CHECK(n > 0 && n < MAX_PATH);
    const std::string logPath = temp + base + ".log";
    CHECK(Put(logPath, "stale line\r\n"));

    App app(base + ".exe", bundle + "\\" + base + ".exe");
    HWND main = app.Main(20000);
    CHECK(main);
    CHECK_EQ(Lower(ItemText(main, IDC_MAIN_FOLDER_TEXT)), Lower(folder));
    CHECK(Click(main, IDC_MAIN_APPLY));
    MsgBox m = WaitMsgBox(app.pid());
    CHECK(m.h && m.yes && m.no);
    CHECK(m.text.find("plugins\\extra.txt") != std::string::npos);
    CHECK(Answer(m, IDYES));
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_APPLY) == "Done"; }, 20000));
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(app.ExitCode() == 1);

    // The copy is the new release, the stray file replaced by the package's.
    ListTree(Work + "\\example-old", "", &oldFiles);
    ListTree(Work + "\\example-new", "", &newFiles);
    ListTree(folder, "", &now);
    std::sort(newFiles.begin(), newFiles.end());
    std::sort(now.begin(), now.end());
    CHECK(now == newFiles);
    for (const std::string& f : newFiles) CHECK_EQ(Content(folder + "\\" + f), Content(Work + "\\example-new\\" + f));

    // The log: each line stamped "YYYY-MM-DD HH:MM:SS.mmm  ", the earlier run's gone.
    std::string text;
    CHECK(Slurp(logPath, &text));
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        CHECK(end != std::string::npos);
        std::string line = text.substr(at, end - at);
        at = end + 2;
        const std::string shape = "dddd-dd-dd dd:dd:dd.ddd  ";
        CHECK(line.size() > shape.size());
        for (size_t k = 0; k < shape.size(); ++k)
            CHECK(shape[k] == 'd' ? line[k] >= '0' && line[k] <= '9' : line[k] == shape[k]);
        lines.push_back(line.substr(shape.size()));
    }
    auto has = [&](const std::string& prefix) {
        for (const std::string& l : lines)
            if (StartsWithNoCase(l, prefix)) return true;
        return false;
    };
    // The run's phases in their order.
    size_t at = 0;
    auto next = [&](const std::string& prefix) {
        for (; at < lines.size(); ++at)
            if (StartsWithNoCase(lines[at], prefix)) return true;
        return false;
    };
    CHECK(!has("stale line"));
    CHECK(next("program: " + bundle + "\\" + base + ".exe (upgsetup "));
    CHECK(next("package: " + bundle + "\\" + base + ".upg"));
    CHECK(next("wording: " + bundle + "\\" + base + ".uui"));
    CHECK(next("installation found: " + folder));
    CHECK(next("apply: \"Example 1.1\""));
    CHECK(lines[at].size() > folder.size() && Lower(lines[at]).find(", to " + Lower(folder)) != std::string::npos);
    CHECK(next("seal: "));
    CHECK(next("check "));
    CHECK(next("question continue about plugins\\extra.txt: \""));
    CHECK(lines[at].find("\": answered Yes") != std::string::npos);
    CHECK(next("journal"));
    CHECK(next("finish"));
    CHECK(next("commit: done, 0 files in the way"));
    CHECK(next("outcome: applied: "));
    CHECK(next("closed"));
    // Each file's finding, build and commit steps.
    int entries = 0;
    for (const std::string& f : newFiles) {
        bool added = std::find(oldFiles.begin(), oldFiles.end(), f) == oldFiles.end();
        if (!added && Content(Work + "\\example-old\\" + f) == Content(Work + "\\example-new\\" + f)) continue;
        ++entries;
        CHECK(has(std::string(added ? "check add " : "check patch ") + f + ": "));
        CHECK(has("build " + f + ": verified"));
        CHECK(has("backup " + f) || added);
        CHECK(has("replace " + f));
    }
    CHECK(has("backup plugins\\extra.txt"));
    for (const std::string& f : oldFiles)
        if (std::find(newFiles.begin(), newFiles.end(), f) == newFiles.end()) {
            ++entries;
            CHECK(has("check delete " + f + ": "));
            CHECK(has("delete " + f));
        }
    CHECK(std::count_if(lines.begin(), lines.end(),
                        [](const std::string& l) { return l.compare(0, 6, "check ") == 0; }) == entries);
}

// ---- names outside ASCII: UTF-8 here, UTF-16 in the wide calls ---------------------------

// Every entry under root (folders end in '\\'), names in UTF-8, sorted.
void ListTreeW(const std::string& root, const std::string& rel, std::vector<std::string>* out)
{
    WIN32_FIND_DATAW f;
    HANDLE h = FindFirstFileW(Wide((rel.empty() ? root : root + "\\" + rel) + "\\*").c_str(), &f);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = Utf8(f.cFileName), path = rel.empty() ? name : rel + "\\" + name;
        if (name == "." || name == "..") continue;
        if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out->push_back(path + "\\");
            ListTreeW(root, path, out);
        } else {
            out->push_back(path);
        }
    } while (FindNextFileW(h, &f));
    FindClose(h);
    std::sort(out->begin(), out->end());
}

// "same" when the installation holds exactly the release's files and folders with the same
// bytes; else the first difference.
std::string SameTree(const std::string& installed, const std::string& release)
{
    std::vector<std::string> have, want;
    ListTreeW(installed, "", &have);
    ListTreeW(release, "", &want);
    if (have != want) {
        std::string list;
        for (const std::string& n : have) list += " " + n;
        return "holds" + list;
    }
    for (const std::string& n : want)
        if (n.back() != '\\' && Content(installed + "\\" + n) != Content(release + "\\" + n)) return n + " differs";
    return "same";
}

// Runs one package found by the search to Done, showing title and notes as given.
void ApplyNamed(const std::string& package, const std::string& title, const std::string& notes,
                const std::string& shownFolder, const char* shot)
{
    // The tail is the path as it stands, blanks included.
    App app(L"upgsetup.exe " + Wide(package));
    CHECK(app.started);
    HWND main = app.Main(20000);
    CHECK(main);
    CHECK_EQ(Text(main), title);
    CHECK_EQ(Text(GetDlgItem(main, IDC_MAIN_NOTES)), notes);
    CHECK_EQ(Text(GetDlgItem(main, IDC_MAIN_FOLDER_TEXT)), shownFolder);
    Capture(main, shot);
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_APPLY) == "Done"; }, 20000));
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(app.ExitCode() == 1);
}

// A file of the installation held open by another program (this driver), without delete
// sharing, as an editor holds it: Apply names it before anything changes, Retry asks again
// while it is held, and applies once it is closed. Held with every sharing mode, it is no
// obstacle.
void CaseFileInUse()
{
    Install in("D:\\inuse\\inst", "in use");
    CHECK(in.Stage("D:\\inuse\\p.upg", "In use"));
    App app("upgsetup.exe D:\\inuse\\p.upg");
    HWND main = MainShowing(app, "d:\\inuse\\inst");
    CHECK(main);
    HANDLE held = CreateFileA((in.folder + "\\readme.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, 0, NULL);
    CHECK(held != INVALID_HANDLE_VALUE);
    struct Closer {
        HANDLE& h;
        ~Closer()
        {
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
    } closer{held};

    CHECK(Click(main, IDC_MAIN_APPLY));
    MsgBox m = WaitMsgBox(app.pid());
    CHECK(m.h);
    CHECK(GetWindow(m.h, GW_OWNER) == FindTop(app.pid(), IsProgress));
    CHECK_EQ(m.caption, Wording[3]);
    CHECK_EQ(m.text, Wording[23] + "\nreadme.txt");
    CHECK(m.retry && m.cancel && !m.ok && !m.yes);
    CHECK(m.icon);
    CHECK_EQ(in.Unchanged(), "unchanged");
    Capture(m.h, "files-in-use");
    // Still held: asked again, still nothing changed.
    CHECK(Answer(m, IDRETRY));
    m = WaitMsgBox(app.pid());
    CHECK(m.h);
    CHECK_EQ(m.text, Wording[23] + "\nreadme.txt");
    CHECK_EQ(in.Unchanged(), "unchanged");
    CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
    CHECK(Answer(m, IDRETRY));
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_APPLY) == "Done"; }, 20000));
    CHECK(!FindTop(app.pid(), IsMessageBox));
    CHECK_EQ(in.Upgraded(), "upgraded");
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(app.ExitCode() == 1);

    // Cancel leaves the installation as it was and Apply as it was.
    Install again("D:\\inuse\\second", "in use, cancelled");
    CHECK(again.Stage("D:\\inuse\\second.upg", "In use"));
    App second("upgsetup.exe D:\\inuse\\second.upg");
    main = MainShowing(second, "d:\\inuse\\second");
    CHECK(main);
    held =
        CreateFileA((again.folder + "\\old.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    CHECK(held != INVALID_HANDLE_VALUE);
    CHECK(Click(main, IDC_MAIN_APPLY));
    m = WaitMsgBox(second.pid());
    CHECK(m.h);
    CHECK_EQ(m.text, Wording[23] + "\nold.dll");
    CHECK(Answer(m, IDCANCEL));
    CHECK(WaitUntil([&] { return ReadyState(main); }));
    CHECK(!FindTop(second.pid(), IsProgress));
    CHECK_EQ(again.Unchanged(), "unchanged");
    PostMessageA(main, WM_CLOSE, 0, 0);
    CHECK(second.ExitCode() == 1);
    CloseHandle(held);
    held = INVALID_HANDLE_VALUE;

    // Held with every sharing mode, as a viewer may hold a file: nothing stands in the way.
    Install shared("D:\\inuse\\shared", "in use, shared");
    CHECK(shared.Stage("D:\\inuse\\shared.upg", "In use"));
    App third("upgsetup.exe D:\\inuse\\shared.upg");
    main = MainShowing(third, "d:\\inuse\\shared");
    CHECK(main);
    held = CreateFileA((shared.folder + "\\readme.txt").c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
    CHECK(held != INVALID_HANDLE_VALUE);
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(WaitUntil([&] { return ItemText(main, IDC_MAIN_APPLY) == "Done" || FindTop(third.pid(), IsMessageBox); },
                    20000));
    CHECK(!FindTop(third.pid(), IsMessageBox));
    CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
    // The reader kept the deleted backup pending, and with it the scratch folder, which is
    // empty now.
    const std::string scratch = shared.folder + "\\__QZUPD_";
    CHECK(!Exists(scratch) || RemoveDirectoryA(scratch.c_str()));
    CHECK_EQ(shared.Upgraded(), "upgraded");
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(third.ExitCode() == 1);
}

// A program of the installation runs while the package patches its .exe: the pre-check names
// it and nothing changes; once the program has ended, Retry applies.
void CaseRunningProgram()
{
    Install in("D:\\running\\inst", "running");
    CHECK(in.Lay());
    std::string image;
    CHECK(Slurp(Work + "\\driver.exe", &image));
    const std::string exe = in.folder + "\\tool.exe";
    CHECK(Put(exe, image, in.oldTime));
    std::vector<Entry> entries = in.Entries();
    ScriptWriter w;
    w.CopyFar(0, (uint32_t)image.size());
    w.Insert(BytesOf("release 2"));
    const std::string patched = image + "release 2";
    entries.push_back(
        {Patch, Ask, Ask, "tool.exe", "The tool", image, in.oldTime, patched, in.newTime, AsString(w.bytes) + End});
    CHECK(Put("D:\\running\\p.upg", Package("Running program", "", entries)));

    App app("upgsetup.exe D:\\running\\p.upg");
    HWND main = MainShowing(app, "d:\\running\\inst");
    CHECK(main);
    {
        App tool("tool.exe --wait", exe);
        CHECK(tool.started);
        // Running once its image refuses to be opened for writing.
        CHECK(WaitUntil([&] {
            HANDLE h = CreateFileA(exe.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   NULL, OPEN_EXISTING, 0, NULL);
            if (h == INVALID_HANDLE_VALUE) return true;
            CloseHandle(h);
            return false;
        }));
        CHECK(Click(main, IDC_MAIN_APPLY));
        MsgBox m = WaitMsgBox(app.pid());
        CHECK(m.h);
        CHECK_EQ(m.text, Wording[23] + "\ntool.exe");
        CHECK(m.retry && m.cancel);
        CHECK_EQ(in.Unchanged(), "unchanged");
        CHECK(Content(exe) == image);
        CHECK(TerminateProcess(tool.pi.hProcess, 0));
        CHECK(tool.ExitCode() == 0);
        CHECK(Answer(m, IDRETRY));
    }
    CHECK(
        WaitUntil([&] { return ItemText(main, IDC_MAIN_APPLY) == "Done" || FindTop(app.pid(), IsMessageBox); }, 20000));
    CHECK(!FindTop(app.pid(), IsMessageBox));
    CHECK_EQ(in.Upgraded(), "upgraded");
    CHECK(Content(exe) == patched);
    CHECK(Click(main, IDC_MAIN_APPLY));
    CHECK(app.ExitCode() == 1);
}

// Packages that upg build made on Linux from UTF-8 names, with a title and notes outside ASCII:
// one in code page 1252, one in 1251 (recorded in its seal). On this 1252 system each is found,
// shows its title and notes, and leaves the installation exactly as the new release, through a
// package path that is not ASCII either.
void CaseNamesInOtherLanguages()
{
    const std::string w = Work + "\\intl";
    {
        FileStream ru(ReadAccess, (w + "\\ru.upg").c_str());
        CHECK(!ru.HasError());
        CHECK(ReadSealCodePage(&ru) == 1251);
        CHECK(GetACP() == 1252);
    }
    const std::string cafe = "D:\\intl\\Caf\xC3\xA9 1.0",
                      report = "D:\\intl\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82\xD1\x8B 1.0";
    const std::string cafePackage = "D:\\intl\\Caf\xC3\xA9 2.0.upg";
    const std::string reportPackage = "D:\\intl\\\xD0\x92\xD0\xB5\xD1\x80\xD1\x81\xD0\xB8\xD1\x8F 2.0.upg";
    CHECK(CopyFileW(Wide(w + "\\intl.upg").c_str(), Wide(cafePackage).c_str(), FALSE));
    CHECK(CopyFileW(Wide(w + "\\ru.upg").c_str(), Wide(reportPackage).c_str(), FALSE));

    ApplyNamed(cafePackage, "Caf\xC3\xA9 2.0 \xE2\x80\x93 Bl\xC3\xBCte",
               "Neu in dieser Ausgabe:\r\nst\xC3\xA4rkerer Kaffee, \xC3\x9C"
               "bersicht im Handbuch.\r\n",
               "d:\\intl\\caf\xC3\xA9 1.0", "names-1252");
    if (CaseFailed) return;
    CHECK_EQ(SameTree(cafe, w + "\\new"), "same");

    // Wine lower-cases the shown folder, Cyrillic letters too.
    ApplyNamed(reportPackage, "\xD0\x92\xD0\xB5\xD1\x80\xD1\x81\xD0\xB8\xD1\x8F 2.0",
               "\xD0\xA7\xD1\x82\xD0\xBE \xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBE\xD0\xB3\xD0\xBE: "
               "\xD1\x81\xD0\xB2\xD0\xBE\xD0\xB4\xD0\xBA\xD0\xB0.\r\n",
               "d:\\intl\\\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82\xD1\x8B 1.0", "names-1251");
    if (CaseFailed) return;
    CHECK_EQ(SameTree(report, w + "\\ru-new"), "same");
}

struct Case {
    const char* name;
    void (*run)();
};

}   // namespace

int main(int argc, char** argv)
{
    // A program of an installation that runs while the upgrade wants to patch it.
    if (argc == 2 && strcmp(argv[1], "--wait") == 0) {
        Sleep(60000);
        return 0;
    }
    if (argc < 3) {
        printf("usage: driver WORK_DIR SHOTS_DIR\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IONBF, 0);
    Work = argv[1];
    Shots = argv[2];
    Exe = Work + "\\upgsetup.exe";
    std::string uui;
    if (!Slurp(Work + "\\upgsetup.uui", &uui)) {
        printf("no upgsetup.uui in %s\n", Work.c_str());
        return 2;
    }
    for (size_t at = 0; at <= uui.size();) {
        size_t nl = uui.find('\n', at);
        std::string line = uui.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Wording.push_back(line);
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    Wording.resize(26);

    const Case cases[] = {
        {"program file: templates, icon, wording, exports", CaseProgramFile},
        {"refused starts", CaseRefusedStarts},
        {"command-line tails", CaseCommandTails},
        {"main window: title, notes, focus, Escape", CaseMainWindow},
        {"search: drive root, deep, breadth-first, dot folders", CaseSearch},
        {"search: nothing found, search window", CaseSearchNotFound},
        {"full apply: add, patch, delete, subfolder, Done", CaseFullApply},
        {"question answered No, then Apply again", CaseQuestionNoThenYes},
        {"cancel during the build: No continues, Yes cancels", CaseCancelDuringBuild},
        {"main window during an apply: close and Escape cancel, a second Apply is ignored", CaseMainDuringApply},
        {"killed during the commit, run again: finished, Done", CaseKilledDuringCommit},
        {"folder chooser: cancelled, chosen", CaseFolderChooser},
        {"folder chooser: drive root", CaseFolderRoot},
        {"Abort finding: question, then information box", CaseAbortInformation},
        {"sealed packages: pinned key, other signer, unsigned, damaged", CaseSealedPackages},
        {"shipped bundle: its own name, the log of its run", CaseShippedBundle},
        {"names in other languages: 1252 and 1251 packages built on Linux", CaseNamesInOtherLanguages},
        {"file in use: named before anything changes, Retry applies once it is closed, Cancel; shared", CaseFileInUse},
        {"running program to patch: named, Retry applies once it has ended", CaseRunningProgram},
        {"bundle of releases: found 1.0 and 1.2, a folder picked by hand", CaseBundleOfReleases},
    };
    const char* only = argc > 3 ? argv[3] : NULL;
    for (const Case& c : cases) {
        if (only && !strstr(c.name, only)) continue;
        CaseFailed = false;
        DWORD t0 = GetTickCount();
        c.run();
        printf("%s %s (%lu ms)\n", CaseFailed ? "FAIL" : "PASS", c.name, GetTickCount() - t0);
        (CaseFailed ? Failed : Passed)++;
    }
    printf("%d passed, %d failed\n", Passed, Failed);
    return Failed ? 1 : 0;
}
