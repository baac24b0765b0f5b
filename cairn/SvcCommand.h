// The "svc" command of the host: administration of the embedded service manager.
//
//   svc create NAME [--user U] [--display-name D] -- PROG ARGS...
//   svc delete NAME
//   svc start|stop|query NAME
//   svc list
#pragma once

#include <cstdio>

// Runs the svc command. argv[0] names the command itself and is not read; argv[1] is the action.
// Exit status: 0 done, 1 the action failed (the reason on standard error), 2 usage error.
// It always works on the embedded service manager: when CAIRN_SERVICE_MANAGER selects another, one line on
// standard error says so and the variable is set to "embedded" for the rest of the process.
int CairnSvcMain(int argc, char** argv);
// The same, writing to out and err instead of standard output and standard error.
int CairnSvcRun(int argc, char** argv, std::FILE* out, std::FILE* err);
