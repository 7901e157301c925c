// Arena allocator for HTTP header fields: one fixed block per worker, handed out by
// bumping a pointer and rewound as a whole once every block has come back.
#ifndef IXO_FIELDS_ALLOC_H
#define IXO_FIELDS_ALLOC_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

namespace IxoWebservice {

namespace detail {

// Pool header; the arena bytes follow it in the same array allocation.
// Not thread-safe: every user of one pool runs on the same thread.
class static_pool {
public:
    // Makes a pool of size arena bytes with one sharer.
    static static_pool& construct(std::size_t size);

    // Adds one sharer.
    static_pool& share()
    {
        ++refs;
        return *this;
    }

    // Drops one sharer; the last one frees the whole block.
    void destroy();

    // Hands out n bytes aligned to align; a block reaching the arena's end is refused.
    void* alloc(std::size_t n, std::size_t align)
    {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(next);
        const std::size_t pad = (align - at % align) % align;
        const std::size_t room = static_cast<std::size_t>(end() - next);
        if (pad >= room || n >= room - pad)
            throw std::bad_alloc();
        char* const block = next + pad;
        ++count;
        next = block + n;
        return block;
    }

    // Takes one block back; the arena rewinds when none is left out.
    void dealloc()
    {
        if (--count != 0)
            return;
        next = first();
    }

    std::uint64_t arena_size() const { return size; }
    std::uint64_t sharers() const { return refs; }
    std::uint64_t blocks_out() const { return count; }
    std::size_t bytes_used() const { return static_cast<std::size_t>(next - first()); }

private:
    explicit static_pool(std::size_t arena_bytes) : size(arena_bytes), next(first()) {}
    ~static_pool() = default;

    char* first() { return reinterpret_cast<char*>(this + 1); }
    const char* first() const { return reinterpret_cast<const char*>(this + 1); }
    char* end() { return first() + size; }

    std::uint64_t size;       // arena bytes after this header
    std::uint64_t refs = 1;   // allocator objects sharing the pool
    std::uint64_t count = 0;  // blocks handed out and not yet returned
    char* next;               // start of the next block
};

}  // namespace detail

// Allocator over a shared static_pool. Copies and rebinds share the pool.
template <class T>
class fields_alloc {
public:
    using value_type = T;
    using is_always_equal = std::false_type;
    using pointer = T*;
    using reference = T&;
    using const_pointer = T const*;
    using const_reference = T const&;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;

    template <class U>
    struct rebind {
        using other = fields_alloc<U>;
    };

    explicit fields_alloc(std::size_t size) : pool_(&detail::static_pool::construct(size)) {}

    fields_alloc(fields_alloc const& other) : pool_(&other.pool_->share()) {}

    template <class U>
    fields_alloc(fields_alloc<U> const& other) : pool_(&other.pool_->share())
    {
    }

    fields_alloc& operator=(fields_alloc const& other)
    {
        if (pool_ != other.pool_) {
            detail::static_pool& taken = other.pool_->share();
            pool_->destroy();
            pool_ = &taken;
        }
        return *this;
    }

    ~fields_alloc() { pool_->destroy(); }

    value_type* allocate(size_type n)
    {
        if (n > static_cast<size_type>(-1) / sizeof(T))
            throw std::bad_alloc();
        return static_cast<value_type*>(pool_->alloc(n * sizeof(T), alignof(T)));
    }

    void deallocate(value_type*, size_type) { pool_->dealloc(); }

    // The pool behind this allocator (for inspection).
    detail::static_pool const& pool() const { return *pool_; }

private:
    template <class U>
    friend class fields_alloc;

    detail::static_pool* pool_;  // shared, never null
};

// Two allocators are equal when they share one pool, whatever their element types.
template <class T, class U>
bool operator==(fields_alloc<T> const& lhs, fields_alloc<U> const& rhs)
{
    return &lhs.pool() == &rhs.pool();
}

template <class T, class U>
bool operator!=(fields_alloc<T> const& lhs, fields_alloc<U> const& rhs)
{
    return !(lhs == rhs);
}

}  // namespace IxoWebservice

#endif  // IXO_FIELDS_ALLOC_H
