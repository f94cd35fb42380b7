#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The fuzz input as count newline-separated fields; the last one takes the rest, newlines and all.
inline std::vector<std::string> fields(const uint8_t *data, size_t size, size_t count)
{
    std::vector<std::string> split(count);
    size_t field = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n' && field + 1 < count)
            ++field;
        else
            split[field] += char(data[i]);
    }
    return split;
}
