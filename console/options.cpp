// The table-driven reading of a command's arguments that every command shares.
#include "options.h"
#include <stdio.h>
#include <string.h>
#include "commands.h"

Option Flag(const char* name, const char* shortName, int* target)
{
    return Option{name, shortName, target, nullptr, nullptr};
}

Option Text(const char* name, const char* shortName, const char** target, const char* missing)
{
    return Option{name, shortName, nullptr,
                  [target](const char* v) {
                      *target = v;
                      return std::string();
                  },
                  missing};
}

Option Text(const char* name, const char* shortName, std::string* target, const char* missing)
{
    return Option{name, shortName, nullptr,
                  [target](const char* v) {
                      *target = v;
                      return std::string();
                  },
                  missing};
}

Option Value(const char* name, const char* shortName, std::function<std::string(const char*)> take, const char* missing)
{
    return Option{name, shortName, nullptr, std::move(take), missing};
}

namespace {

const Option* Find(const CommandLine& line, const char* a)
{
    for (const Option& o : line.options)
        if (strcmp(a, o.name) == 0 || (o.shortName && strcmp(a, o.shortName) == 0)) return &o;
    return nullptr;
}

}   // namespace

int ReadCommandLine(const CommandLine& line, int argc, char** argv, std::vector<std::string>* operands)
{
    operands->clear();
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (line.endOfOptions && strcmp(a, "--") == 0) {
            for (i++; i < argc; i++) operands->push_back(argv[i]);
            break;
        }
        if (IsHelp(a)) {
            fputs(line.help, stdout);
            return ExitDone;
        }
        const Option* o = Find(line, a);
        if (!o && a[0] == '-' && a[1]) return UsageError(line.command, std::string("unknown option ") + a + line.stop);
        if (!o) {
            if (line.maxOperands && operands->size() == line.maxOperands)
                return UsageError(line.command, std::string("unexpected argument ") + a + line.stop);
            operands->push_back(a);
        } else if (o->flag) {
            *o->flag = 1;
        } else if (i + 1 >= argc) {
            return UsageError(line.command, o->missing ? o->missing : std::string(a) + " needs a value" + line.stop);
        } else {
            std::string refused = o->take(argv[++i]);
            if (!refused.empty()) return UsageError(line.command, refused);
        }
    }
    return kRunCommand;
}
