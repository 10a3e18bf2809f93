// Small descriptor helpers for the frontends.
#pragma once

#include <string_view>

// Writes all of `data`, waiting while a non-blocking descriptor is full.
// Gives up silently when the descriptor fails (a closed reader, say).
void WriteAll(int fd, std::string_view data);
