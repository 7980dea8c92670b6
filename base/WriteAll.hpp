#pragma once

#include <cstddef>

// Writes all of text to the descriptor, continuing short writes and waiting for a descriptor
// someone made non-blocking; on an error (a closed pipe or terminal) the rest is dropped: the
// console is not worth stopping for.
void WriteAll(int fd, const char* text, std::size_t size);
