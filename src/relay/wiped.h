// Buffers that held card data or key material are cleared however their scope is left.
#pragma once
#include "sys/sys.h"

#include <cstddef>

struct Wiped {
    void* bytes;
    std::size_t size;
    ~Wiped() { sys::SecureZero(bytes, size); }
};
