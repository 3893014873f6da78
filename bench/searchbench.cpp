// The installation search with several packages: one walk testing every folder against all of
// them, against one walk per package, over a made tree, with the file-system calls counted.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <vector>
#include "files.h"
#include "os.h"
#include "search.h"

namespace {

// The made tree is the one fixed drive; queue and listings are the portable ones.
class TreePlatform : public SearchPlatform {
public:
    explicit TreePlatform(const char* root) : root(root), inner(NewPortableSearchPlatform()) {}
    int FixedRoot(int index, char* out) override
    {
        if (index != 0) return 0;
        strcpy(out, root);
        return 1;
    }
    void QueueAdd(const char* path) override { inner->QueueAdd(path); }
    int QueueCount() override { return inner->QueueCount(); }
    void QueueTake(char* out) override { inner->QueueTake(out); }
    void ListFolders(const char* pattern) override { inner->ListFolders(pattern); }
    int ListCount() override { return inner->ListCount(); }
    void ListTake(char* out) override { inner->ListTake(out); }
    void ListClear() override { inner->ListClear(); }
    void ShowWait(int) override {}

private:
    const char* root;
    std::unique_ptr<SearchPlatform> inner;
};

long Attributes, Opens;
OsLayer Counting;
uint32_t CountAttributes(const char* path)
{
    Attributes++;
    return NativeOs().attributes(path);
}
OsHandle CountOpen(const char* path, unsigned flags)
{
    Opens++;
    return NativeOs().open(path, flags);
}

struct Figure {
    double seconds;
    long attributes, opens;
};

// One search over the packages given, each walk timed; the median of runs.
Figure Search(const char* root, const std::vector<const char*>& packages, int walks, int runs)
{
    std::vector<Figure> all;
    for (int r = 0; r < runs; r++) {
        Attributes = Opens = 0;
        auto start = std::chrono::steady_clock::now();
        for (int w = 0; w < walks; w++) {
            TreePlatform platform(root);
            char found[kPathMax] = "";
            int which = 0;
            const char* const* first = packages.data() + (walks > 1 ? w : 0);
            if (FindInstallationOfAny(first, walks > 1 ? 1 : (int)packages.size(), found, &platform, &which)) {
                fprintf(stderr, "the made tree holds an installation: %s\n", found);
                exit(2);
            }
        }
        all.push_back(
            {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), Attributes, Opens});
    }
    std::sort(all.begin(), all.end(), [](const Figure& a, const Figure& b) { return a.seconds < b.seconds; });
    return all[all.size() / 2];
}

}   // namespace

static int Bench(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: upg_searchbench TREE FOLDERS PACKAGE...\n");
        return 2;
    }
    const char* root = argv[1];
    long folders = atol(argv[2]);
    std::vector<const char*> packages(argv + 3, argv + argc);
    Counting = NativeOs();
    Counting.attributes = CountAttributes;
    Counting.open = CountOpen;
    SetOs(&Counting);
    const int runs = 3;
    Figure one = Search(root, {packages[0]}, 1, runs);
    Figure shared = Search(root, packages, 1, runs);
    Figure apart = Search(root, packages, (int)packages.size(), runs);
    size_t n = packages.size();
    printf("| Search of %ld folders, nothing found | seconds | x one package | file queries | opens |\n", folders);
    printf("|---|---:|---:|---:|---:|\n");
    printf("| 1 package, one walk | %.3f | 1.00 | %ld | %ld |\n", one.seconds, one.attributes, one.opens);
    printf("| %zu packages, one walk | %.3f | %.2f | %ld | %ld |\n", n, shared.seconds, shared.seconds / one.seconds,
           shared.attributes, shared.opens);
    printf("| %zu packages, one walk each | %.3f | %.2f | %ld | %ld |\n", n, apart.seconds, apart.seconds / one.seconds,
           apart.attributes, apart.opens);
    return 0;
}

int main(int argc, char** argv)
{
    // The engine throws std::bad_alloc when memory runs out; a figure cut short is no figure.
    try {
        return Bench(argc, argv);
    } catch (const std::bad_alloc&) {
        fprintf(stderr, "upg_searchbench: there is not enough memory to go on\n");
    }
    return 2;
}
