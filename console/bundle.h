// Publisher bundles: the Windows program, the package and the wording under one base name.
#pragma once
#include <string>
#include <vector>

// Old releases one bundle can upgrade from: two digits number the siblings.
const size_t kMaxReleases = 99;

struct Bundle {
    std::string dir;        // the folder the three files go to
    std::string base;       // BASE of BASE.exe, BASE.upg and BASE.uui
    std::string wording;    // the wording file; empty for the wording built into upg
    std::string setupExe;   // the 32-bit program to copy as BASE.exe
    int madeDir = 0;        // the folder did not exist before the bundle began
    // File names of the packages from the releases before the newest old one, in the order
    // given: BASE-from-NN-LABEL.upg.
    std::vector<std::string> siblings;
};

// Everything a bundle needs, checked before anything is written: a base name Windows can use,
// a wording with every line the program shows, the program (found where the Debian package or
// a build puts it when setupExe is empty), a folder outside both release trees. Creates the
// folder when it is missing. Returns 0 with the reason in *error, having written nothing;
// notes that do not stop the bundle (a wording without line 21) go to *notes, one a line.
// Names the siblings after the old folders (all but the last, which BASE.upg upgrades).
int PrepareBundle(Bundle* bundle, const std::vector<std::string>& oldDirs, const std::string& newDir,
                  std::string* error, std::string* notes);
// Where the builder writes the package: a working name in the bundle's folder.
std::string BundlePackagePart(const Bundle& bundle);
// The same for sibling i, and its final path.
std::string BundleSiblingPart(const Bundle& bundle, size_t i);
std::string BundleSibling(const Bundle& bundle, size_t i);
// The label of a release: its folder's last name, reduced to what a file name can carry.
std::string ReleaseLabel(const std::string& dir);
// "Upgrade from OLD to NEW" by their labels, within the title's 79 characters.
std::string ReleaseTitle(const std::string& oldDir, const std::string& newDir);
// Copies the program and the wording under working names beside the packages, then gives all
// their names, the program last, and removes sibling packages of an earlier bundle that this
// one does not hold (they would upgrade to an older release). Any failure removes every file the bundle wrote (and
// the folder when it made it) and returns 0 with the reason.
int FinishBundle(Bundle* bundle, std::string* error);
// After a failed build: removes what the bundle wrote, and the folder when it made it.
void AbandonBundle(Bundle* bundle);
// The path of BASE plus ext in the bundle's folder.
std::string BundleFile(const Bundle& bundle, const char* ext);

// Checks a wording: 1 when it holds lines 1 to 20, none empty, and lines 1 and 2 each with
// their three parts; otherwise 0 with each shortcoming on a line of *why. A null path checks
// the wording built into upg.
int CheckWording(const char* path, std::string* why, std::string* notes);
// 1 when path is a 32-bit Windows program with a window (not a console program); otherwise 0
// with why.
int CheckSetupProgram(const std::string& path, std::string* why);
