#include "buffer.h"

#include <new>

std::uint8_t* obtain_buffer(std::uint32_t size) {
    return new (std::nothrow) std::uint8_t[size];
}
