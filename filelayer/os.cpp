// The table in force, the linked-in resources and the listers' folder filter; no OS calls here.
#include "os_platform.h"
#include <string.h>
#include "files.h"

namespace {

const OsLayer* current = nullptr;

// Programs carry a handful of resources at most; a fixed table keeps this allocation-free.
const int kMaxResources = 16;
const size_t kMaxResourceName = 64;

struct Resource {
    char name[kMaxResourceName];
    const void* data;
    uint32_t size;
};

Resource resources[kMaxResources];
int resourceCount = 0;

struct FolderFilter {
    void (*add)(void* context, const char* name);
    void* context;
};

void AddPlainFolder(void* context, const OsFolderEntry* entry)
{
    FolderFilter* f = (FolderFilter*)context;
    if (entry->kind == kEntryFolder && !entry->link) f->add(f->context, entry->name);
}

Resource* Lookup(const char* name)
{
    for (int i = 0; i < resourceCount; ++i)
        if (SameNameIgnoringCase(resources[i].name, name)) return &resources[i];
    return nullptr;
}

}   // namespace

const OsLayer& Os() { return current ? *current : kPlatformOs; }

const OsLayer& NativeOs() { return kPlatformOs; }

const OsLayer* SetOs(const OsLayer* layer)
{
    const OsLayer* previous = current ? current : &kPlatformOs;
    current = (layer == &kPlatformOs) ? nullptr : layer;
    return previous;
}

int ListPlainFolders(int (*listEntries)(const char* folder, void (*add)(void* context, const OsFolderEntry* entry),
                                        void* context),
                     const char* folder, void (*add)(void* context, const char* name), void* context)
{
    FolderFilter filter = {add, context};
    return listEntries(folder, AddPlainFolder, &filter);
}

void RegisterResource(const char* name, const void* data, uint32_t size)
{
    if (!name || strlen(name) >= kMaxResourceName) return;
    Resource* r = Lookup(name);
    if (!r) {
        if (resourceCount == kMaxResources) return;
        r = &resources[resourceCount++];
        strcpy(r->name, name);
    }
    r->data = data;
    r->size = size;
}

int FindRegisteredResource(const char* name, const void** data, uint32_t* size)
{
    if (!name) return 0;
    Resource* r = Lookup(name);
    if (!r) return 0;
    *data = r->data;
    *size = r->size;
    return 1;
}
