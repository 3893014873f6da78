// upg apply --json: findings, answers, file operations and the commit, in the order they came.
#include "applyjson.h"
#include "commands.h"
#include "job.h"
#include "seal.h"
#include "trust.h"

namespace {

std::string NullOr(const char* text) { return text ? JsonText(text) : "null"; }

}   // namespace

void JsonApplyLog::Trust(const UpgradeJob* job, const TrustReport& report, int allowed)
{
    seal = SealJson(report, job->seal ? job->seal->size : 0, allowed);
}

void JsonApplyLog::Recovery(RecoveryResult result) { recovery = RecoveryName(result); }

void JsonApplyLog::Finding(int, const FileEntry* entry, const EntryFinding& finding)
{
    entries.push_back(Entry{entry, FindingJson(entry, DescribeFinding(finding)), -1});
}

void JsonApplyLog::Answer(const FileEntry* entry, QuestionKind kind, const char* reason, int yes)
{
    answers.push_back(std::string("{\"name\": ") + (entry ? JsonText(entry->name) : "null") + ", \"question\": \"" +
                      QuestionName(kind) + "\", \"reason\": " + JsonText(reason) + ", \"answer\": \"" +
                      (yes ? "yes" : "no") + "\"}");
}

void JsonApplyLog::Built(const FileEntry* entry, int verified)
{
    for (Entry& e : entries)
        if (e.entry == entry) e.built = verified ? 1 : 0;
}

void JsonApplyLog::Step(CommitStepKind kind, const char* name, const char* failure)
{
    steps.push_back(std::string("{\"step\": \"") + StepName(kind) + "\", \"name\": " + NullOr(name) +
                    ", \"ok\": " + (failure ? "false" : "true") + ", \"reason\": " + NullOr(failure) + "}");
}

void JsonApplyLog::Commit(CommitResult result, const std::vector<CommitFailure>& failures)
{
    commit = std::string("{\"result\": \"") + CommitResultName(result) + "\", \"failures\": [";
    for (size_t k = 0; k < failures.size(); k++)
        commit += std::string(k ? ", " : "") +
            "{\"name\": " + (failures[k].name.empty() ? "null" : JsonText(failures[k].name.c_str())) +
            ", \"reason\": " + JsonText(failures[k].reason.c_str()) + "}";
    commit += "]}";
}

void JsonApplyLog::Print(FILE* out, ApplyOutcome outcome, int exitCode) const
{
    auto list = [&](const char* name, const std::vector<std::string>& items) {
        fprintf(out, "  \"%s\": [", name);
        for (size_t k = 0; k < items.size(); k++) fprintf(out, "%s\n    %s", k ? "," : "", items[k].c_str());
        fprintf(out, "%s],\n", items.empty() ? "" : "\n  ");
    };
    fprintf(out, "{\n  \"package\": %s,\n  \"target\": %s,\n  \"seal\": %s,\n  \"recovery\": \"%s\",\n",
            JsonText(package.c_str()).c_str(), JsonText(target.c_str()).c_str(), seal.c_str(), recovery);
    std::vector<std::string> checked;
    for (const Entry& e : entries)
        checked.push_back("{" + e.json + ", \"built\": " + (e.built < 0 ? "null" : e.built ? "true" : "false") + "}");
    list("entries", checked);
    list("answers", answers);
    list("steps", steps);
    fprintf(out, "  \"commit\": %s,\n  \"outcome\": \"%s\",\n  \"exitCode\": %d\n}\n", commit.c_str(),
            OutcomeName(outcome), exitCode);
}
