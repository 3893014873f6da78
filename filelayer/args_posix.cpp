// The console program's arguments on POSIX: the system's own, UTF-8 where names are.
#include "os.h"

int Utf8Arguments(int argc, char** argv, std::vector<std::string>* out)
{
    out->assign(argv, argv + argc);
    return 1;
}
