#pragma once
// Reading the text files of the swap run: the line size.

// Every text file of the swap run is read one line at a time into this many
// bytes, so one read takes at most 49 characters, line end included.
constexpr int SWAP_LINE_SIZE = 50;
