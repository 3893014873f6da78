// The seal and pin check that stands before every apply: fails closed when a key is pinned.
#include "trust.h"
#include <stdio.h>
#include <string.h>
#include <memory>
#include "files.h"
#include "os.h"
#include "job.h"
#include "scriptscan.h"
#include "stream.h"

namespace {

SealRead ReadWhole(UpgradeJob* job, PackageSeal* seal)
{
    SealRead result = ReadPackageSeal(job, seal, job->digestAhead.get());
    job->digestAhead.reset();
    if (result != SealAbsent || job->stream->HasError()) return result;
    Stream* s = job->stream.get();
    uint32_t back = s->Tell();
    int count = job->header.entryCount > 0 ? job->header.entryCount : 0;
    // A package that ends where an opcode is due reads as if End followed; one that ends inside
    // an instruction was cut, and no script of it is trusted.
    for (int i = 0; i < count && !s->HasError(); i++)
        if (job->Entry(i) && job->Entry(i)->kind != KindDelete && ScanScript(s).cutInside) result = SealPackageCut;
    if (!s->HasError()) {
        uint8_t head[sizeof kSealMagic];
        int32_t n = s->Read(head, (int32_t)sizeof head);
        if (n > 0 && memcmp(head, kSealMagic, (size_t)n) == 0) result = SealMalformed;
    }
    // A package cut inside its scripts raised the flag; that is the build's to find, not ours.
    if (s->HasError()) s->Reset();
    s->Seek(back);
    return result;
}

struct NameSearch {
    const char* name;
    int found;
    static void Add(void* context, const OsFolderEntry* entry)
    {
        NameSearch* n = static_cast<NameSearch*>(context);
        if (strcmp(entry->name, n->name) == 0) n->found = 1;
    }
};

// Whether anything at all stands at path: a file, a folder, or a link, even one that leads
// nowhere (the attribute query follows links, so the folder's listing is asked as well).
int AnythingAt(const char* folder, const char* name, const char* path)
{
    if (Os().attributes(path) != kAttrInvalid) return 1;
    NameSearch search = {name, 0};
    Os().listEntries(folder, &NameSearch::Add, &search);
    return search.found;
}

}   // namespace

SealRead CheckSeal(UpgradeJob* job)
{
    if (job->sealState >= 0) return (SealRead)job->sealState;
    std::unique_ptr<PackageSeal> seal(new PackageSeal);
    SealRead result = ReadWhole(job, seal.get());
    if (result == SealIntact) job->seal = std::move(seal);
    job->sealState = result;
    return result;
}

void StartSealCheck(UpgradeJob* job)
{
    if (job->sealState < 0 && !job->digestAhead && job->stream)
        job->digestAhead.reset(new PackageDigestAhead(job->stream.get()));
}

int CheckPackageTrust(UpgradeJob* job, const char* trustFile, TrustReport* report)
{
    memset(report, 0, sizeof *report);
    report->seal = SealAbsent;
    report->trust = TrustNotPinned;
    report->pinFault = KeyOk;
    report->seal = CheckSeal(job);
    if (job->seal && job->seal->isSigned) KeyIdText(job->seal->keyId, report->signerId);

    // An unreadable pin refuses: a damaged trust file must not open the door to anyone. So
    // does anything else that stands at its name (a folder, a link to one, a link that leads
    // nowhere): only a name that holds nothing at all leaves the installation unpinned.
    PublisherKey pin;
    if (trustFile) {
        snprintf(report->pinFile, sizeof report->pinFile, "%s", trustFile);
        report->pinned = 1;
    } else if (job->targetFolder[0] && JoinPath(report->pinFile, job->targetFolder, kTrustFileName) &&
               AnythingAt(job->targetFolder, kTrustFileName, report->pinFile)) {
        report->pinned = 1;
    }
    if (report->pinned) {
        report->pinFault = ReadKeyFile(report->pinFile, 0, &pin);
        if (report->pinFault != KeyOk) return 0;
    }
    if (report->seal == SealNoDigest && !report->pinned) {
        report->seal = SealAbsent;
        return 1;
    }
    if (report->seal != SealAbsent && report->seal != SealIntact) {
        if (report->seal == SealNoDigest) report->trust = TrustCannotVerify;
        return 0;
    }
    report->trust = CheckSealTrust(job->seal.get(), report->pinned ? &pin : nullptr);
    return TrustAllows(report->trust);
}

std::string TrustText(const TrustReport& r)
{
    if (r.pinned && r.pinFault != KeyOk)
        return std::string("the publisher key pinned in ") + r.pinFile + " cannot be used: " + KeyFaultText(r.pinFault);
    if (r.seal != SealAbsent && r.seal != SealIntact && r.trust != TrustCannotVerify) return SealReadText(r.seal);
    if (!TrustAllows(r.trust)) return SealTrustText(r.trust);
    if (r.seal == SealAbsent) return "the package carries no seal";
    std::string text = "the package's seal holds";
    if (r.trust == TrustGood) return text + "; it is signed by the pinned publisher key " + r.signerId;
    if (r.signerId[0]) return text + "; it is signed by key " + r.signerId + ", which this installation does not pin";
    return text + "; it is not signed";
}
