// A child program for the process and service tests.
//   pause              wait for a signal
//   ignore-term        ignore SIGTERM, then wait
//   exit N             exit with N at once
//   fork-pause FILE    fork one more process in the same group, write its PID to FILE, both wait
//   lookup             four threads name this process's owner and its groups at once, from the very first
//                      lookup of the process on; exits 1 when any of them was not answered
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "LibLogon.h"
#include "LibProcess.h"

namespace {

int LookUpAtOnce() {
    std::atomic<int> failed{0};
    pthread_barrier_t start;
    pthread_barrier_init(&start, nullptr, 4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            pthread_barrier_wait(&start);
            for (int n = 0; n < 3; ++n) {
                std::wstring domain, user;
                TernAccount account;
                account.name = "root";
                std::vector<uint32_t> groups;
                if (TernProcess::GetUserName(static_cast<uint32_t>(getpid()), domain, user).IsFailure() ||
                    TernAccountGroups(account, groups).IsFailure())
                    ++failed;
            }
        });
    for (std::thread& t : threads) t.join();
    pthread_barrier_destroy(&start);
    return failed.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "exit") == 0) return argc >= 3 ? std::atoi(argv[2]) : 0;
    if (argc >= 2 && std::strcmp(argv[1], "lookup") == 0) return LookUpAtOnce();
    if (argc >= 2 && std::strcmp(argv[1], "ignore-term") == 0) signal(SIGTERM, SIG_IGN);
    if (argc >= 3 && std::strcmp(argv[1], "fork-pause") == 0) {
        pid_t child = fork();
        if (child == 0) {
            for (;;) pause();
        }
        FILE* f = std::fopen((std::string(argv[2]) + ".tmp").c_str(), "w");
        if (f == nullptr) return 1;
        std::fprintf(f, "%d\n", static_cast<int>(child));
        std::fclose(f);
        std::rename((std::string(argv[2]) + ".tmp").c_str(), argv[2]);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();
}
