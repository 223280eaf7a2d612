#include "tests/integration/ServerConversation.h"

#include <string.h>

using hostdriver::Job;
using scripted::DataEnd;
using scripted::DataReceivePlan;
using scripted::DataSendPlan;
using scripted::PassiveData;
using scripted::ScriptedConnection;

namespace conversation {

namespace {

const int kServerWaitMs = 30000;
// Any other address in a 227 is a hostile server's, with a decoy there.
const char kServerAddress[] = "127.0.0.1";

}  // namespace

bool IsPassive(const Step& step) {
    return step.command != nullptr && strcmp(step.command, "PASV") == 0;
}

std::vector<Step> LoginSteps() {
    return {{nullptr, "220 Scripted FTP server ready."},
            {"USER ftp", "331 Password required."},
            {"PASS secret", "230 Login successful."},
            {"TYPE I", "200 Type set to I."},
            {"CWD /", "250 Directory changed."}};
}

std::vector<Step> JobSteps(Job job) {
    const std::string size = "213 " + std::to_string(hostdriver::kContent.size());
    switch (job) {
    case Job::Size:
        return {{"SIZE f.bin", size}};
    case Job::Delete:
        return {{"DELE f.bin", "250 Deleted."}};
    case Job::MakeDir:
        return {{"MKD d", "257 \"/d\" created."}};
    case Job::RemoveDir:
        return {{"RMD d", "250 Removed."}};
    case Job::List:
        return {{"TYPE A", "200 Type set to A."},
                {"TYPE I", "200 Type set to I."},
                {"PASV", ""},
                {"LIST *", ""}};
    case Job::Download:
        return {{"SIZE f.bin", size}, {"PASV", ""}, {"REST 0", "350 Restarting at 0."}, {"RETR f.bin", ""}};
    case Job::Upload:
        return {{"SIZE f.bin", "550 No such file."}, {"PASV", ""}, {"STOR f.bin", ""}};
    case Job::Stream:
        // The stream worker sends an empty line first; nothing answers it here.
        return {{"", ""}, {"PASV", ""}, {"REST 0", "350 Restarting at 0."}, {"RETR f.bin", ""}};
    }
    return {};
}

std::vector<Step> AllSteps(Job job) {
    std::vector<Step> steps = LoginSteps();
    for (const Step& step : JobSteps(job)) steps.push_back(step);
    return steps;
}

void AwaitCommand(ScriptedConnection& c, const Step& step) {
    if (step.command != nullptr) c.ExpectLine(step.command);
}

std::shared_ptr<PassiveData> PlaySteps(ScriptedConnection& c, const std::vector<Step>& steps,
                                       size_t count, const std::string& announced) {
    std::shared_ptr<PassiveData> data;
    for (size_t i = 0; i < count && i < steps.size(); ++i) {
        AwaitCommand(c, steps[i]);
        if (IsPassive(steps[i])) {
            data = c.OpenPassive();
            if (announced != kServerAddress) data->StartDecoyAt(announced);
            c.Send(data->PasvReply(announced));
        } else if (!steps[i].reply.empty()) {
            c.Reply(steps[i].reply);
        }
    }
    return data;
}

std::shared_ptr<PassiveData> PlayUpToLastReply(ScriptedConnection& c, Job job,
                                               const std::string& announced) {
    std::vector<Step> steps = JobSteps(job);
    std::shared_ptr<PassiveData> data = PlaySteps(c, steps, steps.size() - 1, announced);
    AwaitCommand(c, steps.back());
    return data;
}

void SendAndConfirm(ScriptedConnection& c, PassiveData& data, Job job, DataEnd end) {
    if (job == Job::Upload) {
        DataReceivePlan plan;
        plan.end = end;
        data.StartReceiving(plan);
    } else {
        DataSendPlan plan;
        plan.bytes = job == Job::List ? std::string(hostdriver::kListing) : hostdriver::kContent;
        plan.end = end;
        data.StartSending(plan);
    }
    c.Reply("150 Opening BINARY mode data connection.");
    data.WaitDone(kServerWaitMs);
    c.Reply("226 Transfer complete.");
    c.WaitForClientClose(kServerWaitMs);
}

}  // namespace conversation
