#pragma once
// Owning FILE* for read paths; write paths close explicitly and check.

#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(FILE *f) const {
        std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Every text file of the swap run is read one line at a time into this many
// bytes, so one read takes at most 49 characters, line end included.
constexpr int SWAP_LINE_SIZE = 50;
