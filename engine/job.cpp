// The upgrade job: a package table aimed at a target folder.
#include "job.h"
#include <string.h>
#include "seal.h"

UpgradeJob::UpgradeJob(const char* packagePath, const char* targetFolder, unsigned codePage)
    : PackageTable(packagePath, codePage), targetTooLong(0), sealState(-1)
{
    this->targetFolder[0] = 0;
    if (targetFolder && !SetTarget(targetFolder)) targetTooLong = 1;
}

UpgradeJob::~UpgradeJob() {}

int UpgradeJob::IsValid() const { return PackageTable::IsValid() && !targetTooLong; }

int UpgradeJob::SetTarget(const char* folder)
{
    size_t n = strlen(folder);
    int hasSeparator = n > 0 && (folder[n - 1] == '\\' || folder[n - 1] == '/');
    targetFolder[0] = 0;
    // A folder whose name and separator do not fit would be cut into some other folder.
    if (n + (hasSeparator ? 0 : 1) >= kPathMax) return 0;
    memcpy(targetFolder, folder, n);
    if (!hasSeparator) targetFolder[n++] = '\\';
    targetFolder[n] = 0;
    return 1;
}
