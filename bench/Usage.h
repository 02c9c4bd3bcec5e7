#pragma once
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// A benchmark's command line: up to `most` positive whole numbers. --help (or -h) prints the usage
// and exits with 0, any other argument prints it to standard error and exits with 2: a benchmark
// runs for minutes, and must not start on an argument it does not know.
inline std::vector<int> NumbersOrUsage(int argc, char** argv, const char* usage, size_t most) {
    std::vector<int> numbers;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            std::exit(0);
        }
        char* end = nullptr;
        errno = 0;
        const long number = std::strtol(argv[i], &end, 10);
        if (numbers.size() == most || end == argv[i] || *end != '\0' || errno != 0 || number <= 0 || number > INT_MAX) {
            std::fprintf(stderr, "%s: unknown argument '%s'\n", argv[0], argv[i]);
            std::fputs(usage, stderr);
            std::exit(2);
        }
        numbers.push_back(static_cast<int>(number));
    }
    return numbers;
}
