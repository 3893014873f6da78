// Writes the fuzz seed corpus: packages, scripts and wording texts that reach every branch.
#include <stdio.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include "pkgwriter.h"

namespace fs = std::filesystem;

namespace {

std::string outDir;

void Save(const std::string& target, const std::string& name, const PkgBytes& b)
{
    fs::create_directories(outDir + "/" + target);
    std::ofstream f(outDir + "/" + target + "/" + name, std::ios::binary | std::ios::trunc);
    f.write((const char*)b.data(), (std::streamsize)b.size());
}

PkgBytes Text(const std::string& s) { return PkgBytes(s.begin(), s.end()); }

void Packages()
{
    PkgBytes a = PseudoRandomBytes(1, 3000), a2 = a, b = PseudoRandomBytes(2, 700);
    a2.insert(a2.begin() + 1000, 50, 'x');
    PkgPlan s;
    s.entries.push_back(AddEntry("NEW.DLL", b));
    s.entries.push_back(PatchEntry("BIN\\APP.EXE", a, a2, 1, 2));
    s.entries.push_back(DeleteEntry("OLD.TXT", b, 0, 1));
    Save("reader", "three-kinds", WritePackage(s));

    PkgPlan hostile = s;
    hostile.entries[0].name = "..\\..\\escape.dll";
    Save("reader", "traversal", WritePackage(hostile));
    hostile.entries[0].name = "C:\\WINDOWS\\x.dll";
    Save("reader", "drive", WritePackage(hostile));
    hostile.entries[0].name = "file.txt:stream";
    Save("reader", "stream", WritePackage(hostile));
    hostile.entries[0].name = "__QZUPD_\\N00000.TMP";
    Save("reader", "scratch", WritePackage(hostile));
    hostile.entries[0].name = std::string(300, 'n');
    Save("reader", "long-name", WritePackage(hostile));

    PkgPlan text;
    text.title = std::string(100, 't');
    text.notes = std::string(9000, 'n');
    Save("reader", "long-strings", WritePackage(text));

    PkgPlan kind3 = s;
    kind3.entries[1].flags = 0xE7;
    Save("reader", "kind3", WritePackage(kind3));

    PkgPlan counts = s;
    counts.useCount = 1;
    for (int16_t c : {(int16_t)-1, (int16_t)0, (int16_t)10000, (int16_t)10001, (int16_t)32767}) {
        counts.count = c;
        Save("reader", "count" + std::to_string(c), WritePackage(counts));
    }
    PkgBytes cut = WritePackage(s);
    cut.resize(cut.size() / 2);
    Save("reader", "cut", cut);
}

// Script seeds: flags byte, 16-bit output limit in units of 4, then the script.
void Script(const std::string& name, bool patch, uint32_t limit, const ScriptWriter& w)
{
    PkgBytes b = {(uint8_t)(patch ? 1 : 0), (uint8_t)(limit / 4), (uint8_t)(limit / 4 >> 8)};
    b.insert(b.end(), w.bytes.begin(), w.bytes.end());
    Save("script", name, b);
}

void Scripts()
{
    ScriptWriter all;
    all.Insert(Text("abc"));
    all.Insert(PkgBytes(300, 'q'));
    all.Insert(Text("wide"), Width32);
    all.SetBase(1);
    all.CopyNear(0x10, 4);
    all.CopyNear(0x20, 600);
    all.CopyNear(0x30, 7, Width32);
    all.Op(11);
    all.CopyFar(5, 255);
    all.CopyFar(70000, 256);
    all.CopyFar(1, 70000);
    all.Op(255);
    all.End();
    Script("all-ops", true, 80000, all);
    Script("all-ops-add", false, 80000, all);
    Script("all-ops-tight", true, 500, all);

    ScriptWriter huge;
    huge.CopyFar(0, 0xFFFFFFFFu);
    huge.CopyNear(0, 0xFFFFFFFFu);
    huge.SetBase(0xFFFF);
    huge.CopyNear(0xFFFF, 10);
    huge.CopyFar(0xFFFFFFFFu, 10);
    huge.CopyFar(200000, 0xFFFFFFFFu);
    huge.End();
    Script("huge-counts", true, 1000, huge);

    ScriptWriter cutLiteral;
    cutLiteral.InsertRaw(3, 0xFFFFFFFFu, Text("only a few bytes"));
    Script("cut-literal", true, 4000, cutLiteral);

    ScriptWriter cutOperand;
    cutOperand.Raw({10, 1, 2});
    Script("cut-operand", true, 100, cutOperand);
}

void Wording(const std::string& sourceWording)
{
    std::ifstream f(sourceWording, std::ios::binary);
    PkgBytes text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    Save("uitext", "default", text);
    PkgBytes crlf;
    for (uint8_t c : text) {
        if (c == '\n') crlf.push_back('\r');
        crlf.push_back(c);
    }
    Save("uitext", "crlf", crlf);
    Save("uitext", "odd", Text("zero\nA|B|C|D|E\n|\n" + std::string(300, 'L') + "\nx\0y\n\n\n|||||\r\r\n"));
    Save("uitext", "empty", PkgBytes());
}

}   // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: fuzz_seeds OUTPUT-FOLDER WORDING-FILE\n");
        return 2;
    }
    outDir = argv[1];
    Packages();
    Scripts();
    Wording(argv[2]);
    return 0;
}
