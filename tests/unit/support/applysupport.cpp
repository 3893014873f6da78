// The scripted user interface and publisher keys for the suites that apply packages.
#include "applysupport.h"
#include <string.h>
#include <gtest/gtest.h>
#include "crypto.h"

ScriptedUi ScriptedUi::Yes()
{
    ScriptedUi ui = No();
    ui.answer = 1;
    return ui;
}

ScriptedUi ScriptedUi::No()
{
    ScriptedUi ui;
    ui.answer = 0;
    ui.pause = 0;
    ui.logPumps = 0;
    return ui;
}

void* ScriptedUi::OpenProgress(void*, void*, ProgressState* state)
{
    progress = state;
    events.push_back("open");
    return view;
}

void ScriptedUi::CloseProgress(void*)
{
    events.push_back("close");
    closed++;
}

void ScriptedUi::EnableOwner(void*, int enable)
{
    events.push_back(enable ? "enable" : "disable");
    ownerEnabled = enable;
}

void ScriptedUi::SetCaption(void*, const char* text) { events.push_back(std::string("caption ") + text); }

void ScriptedUi::SetItemText(void*, int item, const char* text)
{
    events.push_back("item " + std::to_string(item) + " " + text);
}

void ScriptedUi::Repaint(void*) { events.push_back("repaint"); }

void ScriptedUi::DrawBar(void*, int percent)
{
    events.push_back("bar " + std::to_string(percent));
    bars.push_back(percent);
}

void ScriptedUi::PumpEvents(void*)
{
    pumpCount++;
    if (logPumps) events.push_back("pump");
    if (pumpCount == cancelAtPump || cancelEveryPump) {
        events.push_back("command");
        if (progress) progress->OnCommand();
    }
}

int ScriptedUi::AskYesNo(void*, const char* text, const char* caption)
{
    int given = answer;
    if (!answers.empty()) {
        given = answers.front();
        answers.pop_front();
    }
    questions.push_back(std::string(caption) + "\n" + text);
    events.push_back(std::string("ask ") + (given ? "yes" : "no"));
    return given;
}

void ScriptedUi::Inform(void*, const char* text, const char* caption)
{
    infos.push_back(std::string(caption) + "\n" + text);
    events.push_back("inform");
}

int ScriptedUi::AskRetry(void* view, const char* text, const char* caption)
{
    Inform(view, text, caption);
    return ++retries <= retryTimes;
}

uint32_t ScriptedUi::Ticks()
{
    uint32_t t = now;
    now += tickStep;
    return t;
}

std::vector<std::string> ScriptedUi::ItemTexts(int item) const
{
    std::vector<std::string> out;
    std::string prefix = "item " + std::to_string(item) + " ";
    for (const std::string& e : events)
        if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e.substr(prefix.size()));
    return out;
}

int ScriptedUi::Count(const std::string& prefix) const
{
    int n = 0;
    for (const std::string& e : events)
        if (e.compare(0, prefix.size(), prefix) == 0) n++;
    return n;
}

PublisherKey NewKey()
{
    PublisherKey k;
    memset(&k, 0, sizeof k);
    EXPECT_EQ(1, GenerateKeyPair(k.privateKey, k.publicKey));
    k.hasPrivate = 1;
    return k;
}

std::vector<uint8_t> PemOf(const PublisherKey& key)
{
    char pem[512];
    size_t n = PublicKeyPem(&key, pem, sizeof pem);
    return std::vector<uint8_t>(pem, pem + n);
}
