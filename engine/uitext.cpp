// The table of user-interface wording: reads the lines of a .uui text and looks them up.
#include "uitext.h"
#include <string.h>
#include "codepage.h"
#include "memstream.h"
#include "os.h"
#include "stream.h"

const char kDefaultUiResource[] = "UPGAPPLYUI";

namespace {

// A line decoded into UTF-8 takes up to three bytes for each byte of the file.
const uint32_t kDecodedLineSize = 3 * kUiLineSize;
const uint32_t kStoreSize = kUiLines * kDecodedLineSize;
const char kUtf8Mark[] = "\xEF\xBB\xBF";
const char kEmptyLine[] = "-|-|-|";
const char kNoText[] = "N/A";

// Reads one resource through a borrowed memory stream; 0 when the platform has none of that name.
int ReadResource(UiTextTable* table, void* module, const char* name)
{
    const void* data = nullptr;
    uint32_t size = 0;
    if (!name || !Os().findResource || !Os().findResource(module, name, &data, &size) || !data) return 0;
    MemoryStream stream(const_cast<void*>(data), size, size);
    table->ReadUiLines(&stream);
    return 1;
}

}   // namespace

UiTextTable::UiTextTable(const char* path)
{
    for (int i = 0; i < kUiLines; i++) {
        lines[i] = nullptr;
        present[i] = 0;
    }
    FileStream stream(ReadAccess, path);
    ReadUiLines(&stream);
}

UiTextTable::UiTextTable(void* module, const char* name)
{
    for (int i = 0; i < kUiLines; i++) {
        lines[i] = nullptr;
        present[i] = 0;
    }
    if (ReadResource(this, module, name)) return;
    if (ReadResource(this, module, kDefaultUiResource)) return;
    char text[sizeof kNoText];
    memcpy(text, kNoText, sizeof text);
    MemoryStream stream(text, 3, 3);
    ReadUiLines(&stream);
}

UiTextTable::~UiTextTable() {}

void UiTextTable::ReadUiLines(Stream* stream)
{
    if (!store) store.reset(new char[kStoreSize]);
    for (int i = 0; i < kUiLines; i++) {
        lines[i] = nullptr;
        present[i] = 0;
    }
    memset(store.get(), 0, kStoreSize);
    stream->Reset();
    char* p = store.get();
    char raw[kUiLineSize];
    // The file is in the ANSI code page, or in UTF-8 when it opens with the UTF-8 mark.
    int utf8 = 0;
    for (int i = 0; i < kUiLines; i++) {
        // A stream already at its end holds no more lines; an empty read that ran into the
        // end was not a line either. Line 21 falls back to built-in text on that knowledge.
        int endedBefore = stream->HasError();
        uint32_t got = stream->ReadLine(raw, kUiLineSize);
        present[i] = !endedBefore && (got > 0 || !stream->HasError());
        if (i == 0 && strncmp(raw, kUtf8Mark, 3) == 0) {
            utf8 = 1;
            memmove(raw, raw + 3, strlen(raw + 3) + 1);
        }
        if (utf8)
            CopyUtf8(raw, p, kDecodedLineSize);
        else
            PackageTextToUtf8(0, raw, p, kDecodedLineSize);
        if (p[0] == 0) memcpy(p, kEmptyLine, sizeof kEmptyLine);
        lines[i] = p;
        while (*p) {
            if ((i == 1 || i == 2) && *p == '|') *p = 0;
            p++;
        }
        p++;
    }
}

const char* UiTextTable::LineText(int n) const
{
    if (n < 0 || n >= kUiLines || !lines[n]) return "";
    return lines[n];
}

const char* UiTextTable::LinePart(int n, int k) const
{
    if (n < 0 || n >= kUiLines || !lines[n] || k < 0) return "";
    const char* p = lines[n];
    const char* end = store.get() + kStoreSize;
    // Parts past the last run on into the following lines, as the wording files expect, but
    // never beyond the store.
    for (int i = 0; i < k; i++) {
        size_t left = (size_t)(end - p);
        size_t len = strnlen(p, left);
        if (len + 1 >= left) return "";
        p += len + 1;
    }
    return p;
}
