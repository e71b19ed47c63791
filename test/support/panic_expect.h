// The one panic expectation of the tests: the statement must end the process with the panic exit
// status and a report that matches regex.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

// The panic line goes to standard output until the exception file is open; death tests match
// standard error, so the child sends one to the other.
#define EXPECT_PANIC(statement, regex)                                                                  \
    EXPECT_EXIT(                                                                                        \
        {                                                                                               \
            dup2(STDERR_FILENO, STDOUT_FILENO);                                                         \
            statement;                                                                                  \
        },                                                                                              \
        ::testing::ExitedWithCode(255), regex)
