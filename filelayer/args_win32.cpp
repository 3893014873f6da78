// The console program's arguments and output on Windows in UTF-8, through the wide command line.
#include "os.h"

#include <windows.h>
#include <shellapi.h>

int Utf8Arguments(int argc, char** argv, std::vector<std::string>* out)
{
    out->clear();
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide || n != argc) {
        // The runtime split the line its own way: keep its arguments rather than mix the two.
        if (wide) LocalFree(wide);
        for (int i = 0; i < argc; i++) out->push_back(argv[i]);
        return 0;
    }
    for (int i = 0; i < n; i++) {
        int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(size > 0 ? (size_t)size : 1, '\0');
        if (size > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &s[0], size, nullptr, nullptr);
        s.resize(size > 0 ? (size_t)size - 1 : 0);
        out->push_back(s);
    }
    LocalFree(wide);
    // What the program prints is UTF-8 too.
    SetConsoleOutputCP(CP_UTF8);
    return 1;
}
