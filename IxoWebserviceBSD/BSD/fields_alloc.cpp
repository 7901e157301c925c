#include "fields_alloc.h"

namespace IxoWebservice {
namespace detail {

// Kept out of line: the pool is made and freed once per worker, and the compiler's
// use-after-free analysis cannot follow the sharer count through inlined copies.

static_pool& static_pool::construct(std::size_t size)
{
    char* const raw = new char[sizeof(static_pool) + size];
    return *::new (raw) static_pool(size);
}

void static_pool::destroy()
{
    if (--refs != 0)
        return;
    this->~static_pool();
    delete[] reinterpret_cast<char*>(this);
}

}  // namespace detail
}  // namespace IxoWebservice
