#pragma once

#include <cstdint>

// Identifies one open TCP connection (the address of its connection object); unique among open
// connections, possibly reused after a close.
using ClientId = std::uintptr_t;
