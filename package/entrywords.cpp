// The words for an entry's kind and mismatch policy.
#include "entrywords.h"
#include "entries.h"

const char* KindWord(int kind)
{
    switch (kind) {
    case KindAdd: return "add";
    case KindPatch: return "patch";
    case KindDelete: return "delete";
    }
    return "unknown";
}

const char* PolicyWord(int policy)
{
    switch (policy) {
    case PolicyIgnore: return "ignore";
    case PolicyAsk: return "ask";
    case PolicyAbort: return "abort";
    }
    return nullptr;
}
