// Helpers shared by the in-process tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

// Runs f and returns what it printed on standard output.
template <typename F> std::string output_of(F f)
{
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Runs f and returns how long it took, in seconds.
template <typename F> double seconds_of(F f)
{
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
