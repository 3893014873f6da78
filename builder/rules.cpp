// Policy rules given on the command line and the glob that selects their entries.
#include "build.h"
#include <string.h>
#include "entrywords.h"
#include "files.h"

namespace {

int Matches(const char* g, const char* s)
{
    for (; *g; g++, s++) {
        if (*g == '*') {
            int across = g[1] == '*';
            while (*g == '*') g++;
            // "**\" also matches no folder at all.
            if (across && *g == '\\' && Matches(g + 1, s)) return 1;
            for (const char* t = s;; t++) {
                if (Matches(g, t)) return 1;
                if (!*t || (!across && *t == '\\')) return 0;
            }
        }
        if (!*s) return 0;
        if (*g == '?') {
            if (*s == '\\') return 0;
            continue;
        }
        if (FoldAscii(*g) != FoldAscii(*s)) return 0;
    }
    return *s == 0;
}

int PolicyNamed(const std::string& v)
{
    std::string f;
    for (char c : v) f += FoldAscii(c);
    for (int p = PolicyIgnore; p <= PolicyAbort; p++)
        if (f == PolicyWord(p)) return p;
    return -1;
}

}   // namespace

int GlobMatches(const char* glob, const char* name)
{
    std::string g = glob;
    for (char& c : g)
        if (c == '/') c = '\\';
    if (g.find('\\') == std::string::npos) {
        const char* last = strrchr(name, '\\');
        return Matches(g.c_str(), last ? last + 1 : name);
    }
    return Matches(g.c_str(), name);
}

int ParseRule(const char* text, BuildRule* rule, std::string* error)
{
    *rule = BuildRule{"", -1, -1, 0, ""};
    const char* colon = strchr(text, ':');
    if (!colon || colon == text) {
        *error = std::string("a rule is GLOB:KEY=VALUE,...; got \"") + text + "\"";
        return 0;
    }
    rule->glob.assign(text, colon);
    std::string rest = colon + 1;
    if (rest.empty()) {
        *error = std::string("the rule \"") + text + "\" sets nothing";
        return 0;
    }
    size_t at = 0;
    while (at < rest.size()) {
        size_t eq = rest.find('=', at);
        if (eq == std::string::npos) {
            *error = "expected KEY=VALUE in the rule \"" + std::string(text) + "\" at \"" + rest.substr(at) + "\"";
            return 0;
        }
        std::string key = rest.substr(at, eq - at);
        if (key == "desc") {
            // The description takes the rest of the rule, commas and all.
            rule->hasDescription = 1;
            rule->description = rest.substr(eq + 1);
            return 1;
        }
        size_t comma = rest.find(',', eq);
        if (comma == std::string::npos) comma = rest.size();
        std::string value = rest.substr(eq + 1, comma - eq - 1);
        int policy = PolicyNamed(value);
        if (key != "soft" && key != "hard") {
            *error = "unknown key \"" + key + "\" in the rule \"" + std::string(text) + "\" (soft, hard, desc)";
            return 0;
        }
        if (policy < 0) {
            *error = "unknown policy \"" + value + "\" in the rule \"" + std::string(text) + "\" (ignore, ask, abort)";
            return 0;
        }
        (key == "soft" ? rule->soft : rule->hard) = policy;
        at = comma + 1;
    }
    return 1;
}
