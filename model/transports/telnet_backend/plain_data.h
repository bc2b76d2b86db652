// Moves the plain data of a Telnet stream, nearly all of it, to where the parser puts its output,
// stopping at the first byte the command parser must look at.
#pragma once

#include <cstddef>

namespace veltaro::telnet {

// Copies bytes from `in` to `out` up to the first IAC, or also the first NUL when `stop_at_nul`,
// and returns how many were copied. `out` may be `in` itself or lie before it, as when the parser
// compacts a received buffer in place; it must not lie after it.
std::size_t copy_plain_data(const char* in, std::size_t size, char* out, bool stop_at_nul);

}  // namespace veltaro::telnet
