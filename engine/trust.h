// Whether a package may touch an installation: its seal's integrity and the publisher key the
// installation pins. Checked before anything is changed.
#pragma once
#include <string>
#include "keyfile.h"
#include "seal.h"

struct UpgradeJob;

struct TrustReport {
    SealRead seal;   // SealAbsent, SealIntact, or why the seal fails
    SealTrust trust;
    int pinned;                          // a key is pinned: the one given, or the target's upgtrust.pem
    KeyFault pinFault;                   // KeyOk, or why the pinned key file cannot be used
    char pinFile[260];                   // where the pin was looked for
    char signerId[2 * kKeyIdSize + 1];   // the seal's key id, "" when unsigned
};

// Whether the package is whole, for a job whose entry table has been read: ReadPackageSeal,
// and for a package without a seal footer a walk over its scripts, which finds a package cut
// inside an instruction (SealPackageCut) and a seal cut short after the last script
// (SealMalformed). The stream is left where it stood. An intact seal is kept in job->seal; the
// answer is kept too, so that later calls on the same job read the package no more.
// With claim, a seal whose package digest is being made ahead counts as intact until
// SettlePackageTrust, where everything else of it holds.
SealRead CheckSeal(UpgradeJob* job, int claim = 0);
// Starts making the package digest that CheckSeal will need on a second thread, so that the
// caller can do other reading meanwhile; nothing once the seal was checked.
void StartSealCheck(UpgradeJob* job);

// Reads the seal (kept in job->seal when intact) and weighs it against the pin: trustFile
// when given, else the target folder's upgtrust.pem when the job has a target and it holds
// one. 1 when the package may be applied. A seal this system cannot check counts as none
// unless a key is pinned.
// With claim, and no key pinned, the package digest being made ahead is not waited for: the
// answer is what it will be if the digest holds (TrustPending), and SettlePackageTrust must be
// asked before anything is asked, told or changed.
int CheckPackageTrust(UpgradeJob* job, const char* trustFile, TrustReport* report, int claim = 0);
// Whether the job's seal was claimed and not yet settled.
int TrustPending(const UpgradeJob* job);
// Waits for the package digest a claim left to come: 1 when the package may be applied, as
// report said (and when nothing was left to come); 0, with report saying why, when the package
// is not the one sealed.
int SettlePackageTrust(UpgradeJob* job, TrustReport* report);
// Why the package is refused, as one sentence without its full stop; or, for an allowed one,
// what was checked.
std::string TrustText(const TrustReport& report);
