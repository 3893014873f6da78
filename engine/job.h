// An upgrade job: a package's entry table read against one target folder, and its seal.
#pragma once
#include <memory>
#include "entries.h"
#include "files.h"

struct PackageSeal;
class PackageDigestAhead;

struct UpgradeJob : PackageTable {
    // A target that does not fit with its separator is refused (targetTooLong); without one
    // (null) the job only reads the package and its table.
    UpgradeJob(const char* packagePath, const char* targetFolder, unsigned codePage = 0);
    explicit UpgradeJob(const char* packagePath) : UpgradeJob(packagePath, nullptr) {}
    ~UpgradeJob();
    // The table's test, and a target folder that fits.
    int IsValid() const;
    // Points the job at folder, with a separator added when it has none; 0, leaving the target
    // empty, when that does not fit.
    int SetTarget(const char* folder);

    char targetFolder[kPathMax];   // empty, or ends in a separator
    int targetTooLong;
    // The package's seal once checked intact, null for a package without one; and what the
    // check found (a SealRead value), -1 before it ran.
    std::unique_ptr<PackageSeal> seal;
    int sealState;
    // The package digest being made on a second thread for the seal check still to come.
    std::unique_ptr<PackageDigestAhead> digestAhead;
};
