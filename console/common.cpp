// Helpers shared by the commands: the package check with its reasons, refusals, usage errors.
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <string>
#include "codepage.h"
#include "commands.h"
#include "files.h"
#include "joblog.h"
#include "job.h"
#include "seal.h"
#include "search.h"
#include "trust.h"
#include "stream.h"

int CheckPackage(const char* path, std::string* reason)
{
    if (!FileExists(path)) {
        *reason = std::string("The package ") + path + " does not exist or is not a file.";
        return 0;
    }
    {
        FileStream probe(ReadAccess, path);
        if (probe.HasError()) {
            *reason = std::string("The package ") + path + " cannot be opened for reading.";
            return 0;
        }
    }
    PackageTable job(path);
    if (memcmp(job.header.magic, kPackageMagic, sizeof job.header.magic) != 0) {
        *reason = std::string(path) + " is not an upgrade package: it does not start with [QZUPD].";
        return 0;
    }
    if (job.header.version > kMaxVersion) {
        *reason = "The package has format version " + std::to_string(job.header.version) +
            "; this program reads versions up to " + std::to_string(kMaxVersion) + ".";
        return 0;
    }
    if (job.tooManyEntries) {
        *reason = "The package lists " + std::to_string(job.header.entryCount) + " files; at most " +
            std::to_string(kMaxEntries) + " are allowed.";
        return 0;
    }
    if (job.stream->HasError()) {
        *reason = "The package is truncated: it ends inside its title, notes or file table.";
        return 0;
    }
    if (job.faultEntry >= 0) {
        const FileEntry* e = job.Entry(job.faultEntry);
        *reason = "File " + std::to_string(job.faultEntry + 1) + " of the package has an unsafe name \"" +
            (e ? e->name : "") + "\": " + NameFaultText(job.faultName) + ".";
        return 0;
    }
    if (job.cut) {
        *reason = "The package is truncated: a fingerprint in its file table is missing.";
        return 0;
    }
    if (!job.IsValid()) {
        *reason = "The package cannot be read.";
        return 0;
    }
    return 1;
}

int CheckPackages(const std::vector<std::string>& packages, std::string* reason)
{
    for (const std::string& p : packages)
        if (!CheckPackage(p.c_str(), reason)) {
            if (packages.size() > 1) *reason = p + ": " + *reason;
            return 0;
        }
    return 1;
}

int EarlyEnd::Refuse(const std::string& why) const
{
    log->Note(std::string("refused: ") + kSetupRefused + " " + why);
    int code = RefusePackage(why);
    return json ? JsonEnd(package, target.c_str(), nullptr, "invalid", kSetupRefused + (" " + why), code) : code;
}

int EarlyEnd::Stop(const char* outcome, const std::string& why) const
{
    fprintf(stderr, "%s\n", why.c_str());
    log->Note(stopNote + why);
    return json ? JsonEnd(package, target.c_str(), nullptr, outcome, why, ExitNotApplied) : ExitNotApplied;
}

int SealDamaged(const UpgradeJob& job)
{
    return job.sealState >= 0 && job.sealState != SealAbsent && job.sealState != SealIntact &&
        job.sealState != SealNoDigest;
}

int CheckPackageSeal(UpgradeJob* job, std::string* reason)
{
    // A seal that does not hold, or a package cut inside a script, refuses the package whoever
    // reads it; whether its signer is trusted depends on the installation.
    SealRead read = CheckSeal(job);
    if (!SealDamaged(*job)) return 1;
    *reason = SealReadText(read);
    (*reason)[0] = (char)toupper((unsigned char)(*reason)[0]);
    *reason += ".";
    return 0;
}

int RefusePackage(const std::string& reason)
{
    fprintf(stderr, "%s\n%s\n", kSetupRefused, reason.c_str());
    return ExitInvalid;
}

int UsageError(const char* command, const std::string& message)
{
    fprintf(stderr, "upg %s: %s\nTry 'upg %s --help'.\n", command, message.c_str(), command);
    return ExitInvalid;
}

int IsHelp(const char* text) { return strcmp(text, "--help") == 0 || strcmp(text, "-h") == 0; }

std::string ShownPath(const std::string& path)
{
    std::string s = path;
#ifndef _WIN32
    for (char& c : s)
        if (c == '\\') c = '/';
#endif
    return s;
}

std::string JsonText(const char* s)
{
    std::string out = "\"";
    for (const char* p = s; *p;) {
        int32_t c = NextCodePoint(&p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c >= 0x7F) {
            // Escaped, the output stays plain ASCII whatever the console's code page; text that
            // is not UTF-8 shows as the replacement character.
            uint32_t u = c < 0 ? 0xFFFD : (uint32_t)c;
            char e[16];
            if (u >= 0x10000)
                snprintf(e, sizeof e, "\\u%04x\\u%04x", 0xD800 + ((u - 0x10000) >> 10),
                         0xDC00 + ((u - 0x10000) & 0x3FF));
            else
                snprintf(e, sizeof e, "\\u%04x", u);
            out += e;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string SealJson(const TrustReport& report, uint32_t sealBytes, int trusted)
{
    char head[160];
    snprintf(head, sizeof head, "{\"present\": %s, \"intact\": %s, \"bytes\": %u, \"signed\": %s, \"keyId\": ",
             report.seal == SealAbsent ? "false" : "true", report.seal == SealIntact ? "true" : "false",
             (unsigned)sealBytes, report.signerId[0] ? "true" : "false");
    return head + (report.signerId[0] ? JsonText(report.signerId) : std::string("null")) + ", \"trusted\": " +
        (!report.pinned ? "null"
             : trusted  ? "true"
                        : "false") +
        ", \"text\": " + JsonText(TrustText(report).c_str()) + "}";
}

int JsonEnd(const char* package, const char* target, const char* seal, const char* outcome, const std::string& reason,
            int code)
{
    printf("{\n  \"package\": %s,\n  \"target\": %s,\n", JsonText(package).c_str(),
           JsonText(target ? target : "").c_str());
    if (seal) printf("  \"seal\": %s,\n", seal);
    printf("  \"outcome\": \"%s\",\n  \"reason\": %s,\n  \"exitCode\": %d\n}\n", outcome,
           JsonText(reason.c_str()).c_str(), code);
    return code;
}

std::string FindingJson(const FileEntry* entry, const FindingWords& w)
{
    return std::string("\"kind\": \"") + KindWord(entry->kind) + "\", \"name\": " + JsonText(entry->name) +
        ", \"finding\": \"" + w.finding +
        "\", \"policy\": " + (w.policy ? "\"" + std::string(w.policy) + "\"" : std::string("null")) +
        ", \"resolution\": \"" + w.resolution + "\", \"text\": " + JsonText(w.text.c_str());
}

std::string FileNameOf(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// The stem of a package's file name: without its folder and its .upg.
std::string StemOf(const std::string& path)
{
    std::string name = FileNameOf(path);
    return name.size() > 4 && SameNameIgnoringCase(name.c_str() + name.size() - 4, ".upg")
        ? name.substr(0, name.size() - 4)
        : name;
}

// other is BASE-from-*.upg beside base.upg.
int IsSiblingOf(const std::string& other, const std::string& base)
{
    std::string prefix = StemOf(base) + kSiblingInfix;
    std::string name = FileNameOf(other);
    return name.size() > prefix.size() && SameNameIgnoringCase(name.substr(0, prefix.size()).c_str(), prefix.c_str());
}

}   // namespace

int GatherPackages(const std::vector<std::string>& given, std::vector<std::string>* packages, std::string* why)
{
    packages->clear();
    if (given.size() == 1 && IsDirectory(given[0].c_str())) {
        const std::string& dir = given[0];
        std::vector<std::string> all;
        auto add = [](void* context, const char* name) {
            size_t n = strlen(name);
            if (n > 4 && SameNameIgnoringCase(name + n - 4, ".upg"))
                static_cast<std::vector<std::string>*>(context)->push_back(name);
        };
        ListFiles(dir.c_str(), add, &all);
        std::vector<std::string> bases;
        for (const std::string& a : all) {
            int sibling = 0;
            for (const std::string& b : all) sibling |= &a != &b && IsSiblingOf(a, b);
            if (!sibling) bases.push_back(a);
        }
        if (bases.size() != 1) {
            *why = "The folder " + dir +
                (bases.empty() ? " holds no package." : " holds more than one bundle: name the package.");
            return 0;
        }
        std::string base = dir + ((dir.back() == '/' || dir.back() == '\\') ? "" : "/") + bases[0];
        packages->push_back(base);
        for (const std::string& s : SiblingPackages(base.c_str())) packages->push_back(s);
        return 1;
    }
    *packages = given;
    for (size_t i = 1; i < packages->size(); i++) {
        int base = 1;
        for (size_t j = 0; j < packages->size(); j++) base &= j == i || IsSiblingOf((*packages)[j], (*packages)[i]);
        if (base) std::rotate(packages->begin(), packages->begin() + i, packages->begin() + i + 1);
    }
    return 1;
}
