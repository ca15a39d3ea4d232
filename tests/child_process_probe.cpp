// Starts the program named on its command line as the tests start their emulators, prints that child's process id,
// and waits to be killed: tests/scripts/orphan_test.sh kills it with SIGKILL and looks for the child.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Portable.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: child_process_probe PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    vantra_test::ChildProcess child;
    const std::string first = child.Start(std::vector<std::string>(argv + 1, argv + argc));
    std::printf("%d %s\n", static_cast<int>(child.Pid()), first.c_str());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::minutes(5));
    return 1;
}
