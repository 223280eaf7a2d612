// Creates and starts the worker of an operation on a session (the session
// thread's dispatch). False when no worker could be started.
#pragma once

class CFtpClientThread;

bool StartWorkerFor(CFtpClientThread* session, int operation);
