// The server's side of each request's conversation, step by step, so that a
// test can play it through or break it at any step: the login (greeting,
// USER, PASS, TYPE I, CWD /) and then the request's own commands up to its
// transfer command.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/ScriptedFtpServer.h"
#include "tests/integration/HostDriver.h"

namespace conversation {

struct Step {
    const char* command;  // the line the client sends; null for the greeting
    std::string reply;    // empty: none (the transfer command's replies come with its data)
};

bool IsPassive(const Step& step);

std::vector<Step> LoginSteps();
// The request's steps; the last is the one that ends it (or starts its data).
std::vector<Step> JobSteps(hostdriver::Job job);
// LoginSteps followed by JobSteps.
std::vector<Step> AllSteps(hostdriver::Job job);

// Reads step's command (none for the greeting).
void AwaitCommand(scripted::ScriptedConnection& c, const Step& step);
// Plays the first count steps as a willing server would. PASV opens a data
// side announced at announced; it is returned (null when no step opened one).
std::shared_ptr<scripted::PassiveData> PlaySteps(scripted::ScriptedConnection& c,
                                                  const std::vector<Step>& steps, size_t count,
                                                  const std::string& announced = "127.0.0.1");
// After a login: job's steps, all answered but the last, whose command is
// read and left for the test to answer.
std::shared_ptr<scripted::PassiveData> PlayUpToLastReply(scripted::ScriptedConnection& c,
                                                          hostdriver::Job job,
                                                          const std::string& announced = "127.0.0.1");

// A transfer's end as a willing server plays it: "150 ", the data (the file,
// or the listing; an upload's data is taken), "226 ". The data connection ends
// as told; then the control connection waits for the client to close it.
void SendAndConfirm(scripted::ScriptedConnection& c, scripted::PassiveData& data,
                    hostdriver::Job job, scripted::DataEnd end);

}  // namespace conversation
