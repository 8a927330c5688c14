#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property is a crash to libFuzzer, which keeps the input that broke it.
[[noreturn]] inline void property_broken(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
    std::abort();
}

#define REQUIRE(condition) ((condition) ? void() : property_broken(#condition, __FILE__, __LINE__))
