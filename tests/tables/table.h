#pragma once

#include <cstdio>
#include <string>

// A row whose verdict is not the expected one is named on stderr; main returns how many there were.
inline int failedRows = 0;

template <typename Value>
void expect(const std::string &row, const Value &got, const Value &expected)
{
    if (got == expected)
        return;
    ++failedRows;
    std::fprintf(stderr, "row failed: %s\n", row.c_str());
}
