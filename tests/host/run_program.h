// Runs a program as a child process and collects its exit code and output.
#pragma once

#include <string>
#include <vector>

namespace hosttest {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs program with arguments in directory (empty: the current one), with
// no standard input; gives up and kills it after timeoutSeconds.
Outcome Run(const std::string& program, const std::vector<std::string>& arguments,
            const std::string& directory = "", int timeoutSeconds = 60);

}  // namespace hosttest
