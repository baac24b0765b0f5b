// A child program for the process and service tests.
//   pause              wait for a signal
//   ignore-term        ignore SIGTERM, then wait
//   exit N             exit with N at once
//   fork-pause FILE    fork one more process in the same group, write its PID to FILE, both wait
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "exit") == 0) return argc >= 3 ? std::atoi(argv[2]) : 0;
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
