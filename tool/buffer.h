#pragma once

#include <cstdint>

// A buffer of size bytes that lives until the process ends, or nullptr.
std::uint8_t* obtain_buffer(std::uint32_t size);
