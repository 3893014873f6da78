// Entry point: paths from the command line, the window class, the setup check, the search
// window and the one message loop.
#include "app.h"
#include <commctrl.h>
#include <shellapi.h>
#include <new>
#include <stdlib.h>
#include <string.h>
#include <string>
#include "files.h"
#include "os.h"
#include "job.h"
#include "seal.h"
#include "trust.h"
#include "upg_version.h"

char PackagePath[kPathMax];
char UiTextPath[kPathMax];
char TargetFolder[kPathMax];
HINSTANCE AppInstance;
HWND MainDialog;
JobLog* RunLog;
std::vector<std::string> BundlePackages;
int ChosenPackage;

// The C runtime's own tail drops the blanks after the program name, so the tail is taken from
// the raw command line by the classic start-up rules: quotes inside it and trailing blanks stay.
template <typename C>
static const C* TailOf(const C* p)
{
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '"') {
        ++p;
        while (*p && *p != '"' && *p != '\t') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

const char* CommandTail(const char* p) { return TailOf(p); }

const wchar_t* CommandTail(const wchar_t* p) { return TailOf(p); }

int ElevatedRunStarted;

int RunningElevated()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return ok && elevation.TokenIsElevated;
}

int RunAgainElevated(HWND owner)
{
    wchar_t program[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 0;
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.hwnd = owner;
    info.lpVerb = L"runas";
    info.lpFile = program;
    info.lpParameters = CommandTail(GetCommandLineW());
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) return 0;
    ElevatedRunStarted = 1;
    return 1;
}

// Overwrites the text from the last '.' (anywhere in the path) with ext; a path without any
// '.' gets ext appended. Returns 0 when the result would not fit the buffer.
static int ReplaceExtension(char* path, const char* ext)
{
    char* dot = strrchr(path, '.');
    size_t keep = dot ? (size_t)(dot - path) : strlen(path);
    if (keep + strlen(ext) >= kPathMax) return 0;
    strcpy(path + keep, ext);
    return 1;
}

int CheckPackageFile(const char* path)
{
    // The whole table and the seal, so that a package the apply would refuse is refused now,
    // before the person is shown anything to press.
    UpgradeJob job(path, "C:\\");
    if (!job.IsValid()) return 0;
    SealRead read = CheckSeal(&job);
    return read == SealAbsent || read == SealIntact || read == SealNoDigest;
}

const char* ActivePackage() { return BundlePackages.empty() ? PackagePath : BundlePackages[ChosenPackage].c_str(); }

static int ChoosePackageOf(const char* folder)
{
    if (BundlePackages.size() < 2) return 0;
    std::vector<const char*> paths;
    for (const std::string& p : BundlePackages) paths.push_back(p.c_str());
    int fits = ChoosePackage(paths.data(), (int)paths.size(), folder);
    int chosen = fits < 0 ? 0 : fits;
    RunLog->Note(std::string("package for ") + folder + ": " + BundlePackages[chosen] +
                 (fits < 0 ? " (none fits; the base package)" : " (fits)"));
    int changed = chosen != ChosenPackage;
    ChosenPackage = chosen;
    return changed;
}

int ChoosePackageFor(const char* folder)
{
    try {
        return ChoosePackageOf(folder);
    } catch (const std::bad_alloc&) {
        TellOutOfMemory(MainDialog);
    }
    return 0;
}

// The bundle's sibling packages beside the base package; one that does not pass the setup
// check takes no part, and a bundle of the base package alone applies like a single package.
static void GatherBundle()
{
    BundlePackages.assign(1, PackagePath);
    ChosenPackage = 0;
    for (const std::string& sibling : SiblingPackages(PackagePath)) {
        if (sibling.size() < kPathMax && CheckPackageFile(sibling.c_str())) {
            BundlePackages.push_back(sibling);
            RunLog->Note("bundle package: " + sibling);
        } else {
            RunLog->Note("bundle package skipped, not valid: " + sibling);
        }
    }
}

INT_PTR CALLBACK SearchDialogProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

static void RefuseSetup(const char* why)
{
    RunLog->Note(std::string("refused: ") + kSetupRefused + " " + why);
    ShowMessage(nullptr, kSetupRefused, "Error", MB_OK | MB_ICONERROR);
}

// Where support finds the log: the user's temporary folder, named after the program's own file
// without its extension, so that each publisher's bundle keeps its own. Empty when the path
// cannot be made; the log is then skipped.
static void RunLogPath(const char* program, char* out)
{
    out[0] = 0;
    char temp[kPathMax];
    wchar_t wide[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, wide);
    if (n == 0 || n >= MAX_PATH || !Utf8Text(wide, temp, kPathMax)) return;
    const char* base = program + strlen(program);
    while (base > program && base[-1] != '\\' && base[-1] != '/' && base[-1] != ':') --base;
    const char* dot = strrchr(base, '.');
    std::string name = std::string(base, dot ? (size_t)(dot - base) : strlen(base)) + ".log";
    JoinPath(out, temp, name.c_str());
}

// The package and wording paths from the program's own path and the command-line tail; 0 when
// one does not fit. A tail or a program path that does not fit is refused like missing setup
// data rather than cut into the path of some other file.
static int ReadStartPaths()
{
    int pathsFit = 1;
    if (!ProgramPath(UiTextPath, kPathMax) || !ReplaceExtension(UiTextPath, ".uui")) pathsFit = 0;
    // The wide command line reaches every name, whatever the system's code page.
    int commandLength = WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, nullptr, 0, nullptr, nullptr);
    std::string commandLine(commandLength > 0 ? (size_t)commandLength : 1, '\0');
    if (commandLength > 0) {
        WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, &commandLine[0], commandLength, nullptr, nullptr);
    }
    const char* tail = CommandTail(commandLine.c_str());
    if (strlen(tail) >= kPathMax) {
        pathsFit = 0;
    } else if (*tail) {
        strcpy(PackagePath, tail);
    } else {
        strcpy(PackagePath, UiTextPath);
        if (!ReplaceExtension(PackagePath, ".upg")) pathsFit = 0;
    }
    return pathsFit;
}

// The program's window class, a wide copy of the dialog class; 0 when the dialog class is
// missing, which the person is told.
static int RegisterSetupClass(HINSTANCE instance)
{
    // A wide class: the caption of an ANSI window passes through the system's code page.
    WNDCLASSW wc;
    if (!GetClassInfoW(nullptr, (LPCWSTR)MAKEINTATOM(0x8002), &wc)) {
        // Without the dialog class the main window cannot exist: end as a refused start.
        MessageBoxW(nullptr, L"Fatal error in GetClassInfo", L"Error", MB_OK);
        return 0;
    }
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = L"UpgSetup";
    RegisterClassW(&wc);
    return 1;
}

// Why the setup data cannot be used, or null when it can.
static const char* SetupRefusal(int pathsFit)
{
    if (!pathsFit) return "a path does not fit";
    if (!FileExists(PackagePath)) return "the package does not exist";
    if (!FileExists(UiTextPath)) return "the wording file does not exist";
    if (!CheckPackageFile(PackagePath)) return "the package is not valid, or its seal does not hold";
    return nullptr;
}

// Shows the search window while the fixed drives are searched for an installation of any of the
// bundle's packages; TargetFolder keeps the Windows folder when none is found.
static void SearchInstallation()
{
    HWND searchWindow = CreateDialogParamW(AppInstance, L"UPGSEARCH", nullptr, SearchDialogProc, 0);
    if (searchWindow) {
        ShowWindow(searchWindow, SW_SHOW);
        UpdateWindow(searchWindow);
    }
    wchar_t windows[MAX_PATH];
    UINT windowsLength = GetWindowsDirectoryW(windows, MAX_PATH);
    if (windowsLength == 0 || windowsLength >= MAX_PATH || !Utf8Text(windows, TargetFolder, kPathMax)) {
        TargetFolder[0] = 0;
    }
    GatherBundle();
    RunLog->Note("searching the fixed drives for the installation");
    {
        Win32SearchPlatform platform(AppInstance, searchWindow);
        std::vector<const char*> paths;
        for (const std::string& p : BundlePackages) paths.push_back(p.c_str());
        int which = 0;
        if (FindInstallationOfAny(paths.data(), (int)paths.size(), TargetFolder, &platform, &which)) {
            ChosenPackage = which;
            RunLog->Note(std::string("installation found: ") + TargetFolder + ", for " + ActivePackage());
        } else {
            RunLog->Note(std::string("no installation found; the Windows folder is proposed: ") + TargetFolder);
        }
    }
    if (searchWindow) DestroyWindow(searchWindow);
}

static int RunSetup(HINSTANCE instance, HINSTANCE previousInstance)
{
    AppInstance = instance;

    char program[kPathMax] = "", logPath[kPathMax] = "";
    if (!ProgramPath(program, kPathMax))
        program[0] = 0;
    else
        RunLogPath(program, logPath);
    FileJobLog log(logPath);
    RunLog = &log;
    log.Note(std::string("program: ") + program + " (upgsetup " + UPG_VERSION + ")");

    int pathsFit = ReadStartPaths();
    // The newer common controls, which the manifest asks for, draw the shield on Apply.
    InitCommonControls();
    if (!previousInstance && !RegisterSetupClass(instance)) return 1;

    log.Note(std::string("package: ") + PackagePath);
    log.Note(std::string("wording: ") + UiTextPath);
    if (const char* refusal = SetupRefusal(pathsFit)) {
        RefuseSetup(refusal);
        return 1;
    }

    SearchInstallation();
    MainDialog = CreateDialogParamW(instance, L"MAIN", nullptr, MainDialogProc, 0);
    if (!MainDialog) return 1;
    ShowWindow(MainDialog, SW_SHOW);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0)) {
        if (MainDialog && IsDialogMessageW(MainDialog, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    log.Note("closed");
    return 1;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR, int)
{
    try {
        return RunSetup(instance, previousInstance);
    } catch (const std::bad_alloc&) {
        TellOutOfMemory(nullptr);
    }
    return 1;
}

// The C++ runtime's default terminate handler demangles the type of an escaping exception for a
// console this program does not have; replacing it keeps the demangler out of the executable.
namespace __gnu_cxx {
void __verbose_terminate_handler() { abort(); }
}   // namespace __gnu_cxx
