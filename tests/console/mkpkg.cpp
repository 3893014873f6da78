// Test-only command over the shared package writer: a package from old and new files named on the command line.
//
//   upg_mkpkg OUT [--title T] [--notes-file F] [--version N] [--magic TEXT] [--count N]
//             [--cut N] ENTRY...
//   ENTRY: add[:S:H[:bad]] NAME NEWFILE | patch[:S:H[:bad]] NAME OLDFILE NEWFILE
//          | delete[:S:H] NAME OLDFILE
// S and H are the soft and hard policies (0 ignore, 1 ask, 2 abort); ":bad" spoils the new
// print's checksum so that the rebuilt file fails verification. --cut drops bytes from the end.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>
#include "fingerprint.h"
#include "pkgwriter.h"

namespace {

typedef PkgBytes Bytes;

struct Entry {
    int kind, soft, hard, bad;
    std::string name, oldFile, newFile;
};

bool ReadAll(const std::string& path, Bytes* out)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
    fclose(f);
    return true;
}

PkgPrint PrintOfFile(const std::string& path)
{
    FileFingerprint p;
    if (!ComputeFingerprint(path.c_str(), &p)) {
        fprintf(stderr, "mkpkg: cannot fingerprint %s\n", path.c_str());
        exit(2);
    }
    PkgPrint out;
    out.dateTime = p.dateTime;
    out.size = p.size;
    out.checksum = p.checksum;
    return out;
}

// Copies the common head and tail from the old file and inserts the middle.
PkgBytes Script(const Bytes& oldB, const Bytes& newB)
{
    size_t head = 0;
    while (head < oldB.size() && head < newB.size() && oldB[head] == newB[head]) head++;
    size_t tail = 0;
    while (tail < oldB.size() - head && tail < newB.size() - head &&
           oldB[oldB.size() - 1 - tail] == newB[newB.size() - 1 - tail])
        tail++;
    ScriptWriter s;
    if (head) s.CopyFar(0, (uint32_t)head, Width32);
    size_t mid = newB.size() - head - tail;
    if (mid) s.Insert(PkgBytes(newB.begin() + (long)head, newB.begin() + (long)(head + mid)), Width32);
    if (tail) s.CopyFar((uint32_t)(oldB.size() - tail), (uint32_t)tail, Width32);
    s.End();
    return s.bytes;
}

int Usage()
{
    fprintf(stderr, "usage: upg_mkpkg OUT [options] ENTRY...\n");
    return 2;
}

}   // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return Usage();
    std::string out = argv[1], title = "Test package", notes, magic = "[QZUPD]";
    int version = 17, count = -1;
    long cut = 0;
    std::vector<Entry> entries;
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        auto need = [&](int n) {
            if (i + n >= argc) exit(Usage());
        };
        if (a == "--title") {
            need(1);
            title = argv[++i];
            continue;
        }
        if (a == "--notes-file") {
            need(1);
            Bytes n;
            if (!ReadAll(argv[++i], &n)) return Usage();
            notes.assign(n.begin(), n.end());
            continue;
        }
        if (a == "--version") {
            need(1);
            version = atoi(argv[++i]);
            continue;
        }
        if (a == "--magic") {
            need(1);
            magic = argv[++i];
            continue;
        }
        if (a == "--count") {
            need(1);
            count = atoi(argv[++i]);
            continue;
        }
        if (a == "--cut") {
            need(1);
            cut = atol(argv[++i]);
            continue;
        }
        Entry e{0, 0, 0, 0, "", "", ""};
        std::string kind = a.substr(0, a.find(':'));
        if (a.find(':') != std::string::npos) {
            int s = 0, h = 0;
            char bad[8] = "";
            sscanf(a.c_str() + a.find(':'), ":%d:%d:%7s", &s, &h, bad);
            e.soft = s;
            e.hard = h;
            e.bad = strcmp(bad, "bad") == 0;
        }
        if (kind == "add") {
            need(2);
            e.kind = 0;
            e.name = argv[++i];
            e.newFile = argv[++i];
        } else if (kind == "patch") {
            need(3);
            e.kind = 1;
            e.name = argv[++i];
            e.oldFile = argv[++i];
            e.newFile = argv[++i];
        } else if (kind == "delete") {
            need(2);
            e.kind = 2;
            e.name = argv[++i];
            e.oldFile = argv[++i];
        } else
            return Usage();
        entries.push_back(e);
    }

    PkgPlan plan;
    plan.version = (uint8_t)version;
    plan.useCount = count >= 0;
    plan.count = (int16_t)count;
    plan.title = title;
    plan.notes = notes;
    for (const Entry& e : entries) {
        PkgEntry p = NamedEntry(e.kind, e.soft, e.hard, e.name, e.kind == PkgDelete ? "" : "File " + e.name);
        Bytes oldB, newB;
        if (!e.oldFile.empty() && !ReadAll(e.oldFile, &oldB)) return Usage();
        if (!e.newFile.empty() && !ReadAll(e.newFile, &newB)) return Usage();
        if (e.kind != PkgAdd) p.oldPrint = PrintOfFile(e.oldFile);
        if (e.kind != PkgDelete) {
            p.newPrint = PrintOfFile(e.newFile);
            if (e.bad) p.newPrint.checksum ^= 0x5A5A;
            p.script = Script(oldB, newB);
        }
        plan.entries.push_back(p);
    }
    Bytes b = WritePackage(plan);
    magic.resize(8, 0);
    std::copy(magic.begin(), magic.end(), b.begin());
    if (cut > 0) b.resize(b.size() > (size_t)cut ? b.size() - (size_t)cut : 0);
    FILE* f = fopen(out.c_str(), "wb");
    if (!f || fwrite(b.data(), 1, b.size(), f) != b.size()) return 2;
    fclose(f);
    return 0;
}
