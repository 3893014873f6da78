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

SealRead ReadWhole(UpgradeJob* job, PackageSeal* seal, int claim)
{
    PackageDigestAhead* ahead = job->digestAhead.get();
    // A claim stands only on a digest already being made, and only while it holds; any other
    // verdict is the whole check's, so that it reads as it would have without the claim.
    if (claim && ahead && ahead->Making()) {
        SealRead claimed = ReadPackageSeal(job, seal, ahead, 1);
        if (claimed == SealIntact) return claimed;
    }
    SealRead result = ReadPackageSeal(job, seal, ahead);
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

SealRead CheckSeal(UpgradeJob* job, int claim)
{
    if (job->sealState >= 0) return (SealRead)job->sealState;
    std::unique_ptr<PackageSeal> seal(new PackageSeal);
    SealRead result = ReadWhole(job, seal.get(), claim);
    if (result == SealIntact) job->seal = std::move(seal);
    job->sealState = result;
    return result;
}

void StartSealCheck(UpgradeJob* job)
{
    if (job->sealState < 0 && !job->digestAhead && job->stream)
        job->digestAhead.reset(new PackageDigestAhead(job->stream.get()));
}

int CheckPackageTrust(UpgradeJob* job, const char* trustFile, TrustReport* report, int claim)
{
    memset(report, 0, sizeof *report);
    report->seal = SealAbsent;
    report->trust = TrustNotPinned;
    report->pinFault = KeyOk;

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
    // A pinned installation reads nothing of a package that its publisher's key does not stand
    // behind, so its verdict is never left to come.
    report->seal = CheckSeal(job, claim && !report->pinned);
    if (job->seal && job->seal->isSigned) KeyIdText(job->seal->keyId, report->signerId);
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

int TrustPending(const UpgradeJob* job) { return job->seal && job->seal->claimed; }

int SettlePackageTrust(UpgradeJob* job, TrustReport* report)
{
    if (!TrustPending(job)) return 1;
    SealRead result = ConfirmSeal(job->seal.get(), job->digestAhead.get());
    job->digestAhead.reset();
    if (result == SealIntact) return 1;
    job->seal.reset();
    job->sealState = result;
    report->seal = result;
    report->signerId[0] = 0;
    return 0;
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
