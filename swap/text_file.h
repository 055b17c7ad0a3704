#pragma once
// Reading the text files of the swap run: the line size, and an open that
// never waits on a FIFO or device.

#include "base.h"

// Every text file of the swap run is read one line at a time into this many
// bytes, so one read takes at most 49 characters, line end included.
constexpr int SWAP_LINE_SIZE = 50;

constexpr int TEXT_FILE_OPEN = 0;
constexpr int TEXT_FILE_MISSING = 2;   // cannot be opened
constexpr int TEXT_FILE_IRREGULAR = 3; // there, but a FIFO, device, folder or socket

// Opens path with flags (O_RDONLY: a stream for reading, else for writing)
// into *f, only when it is a regular file: a FIFO or device there would
// block the run or feed it whatever it produces.
// Returns 0 opened; 2 it cannot be opened; 3 it is no regular file.
int swap_open_regular(const char *path, int flags, FilePtr *f);
