// Synchronisation: interlocked operations.
#include "KvPlatformHelper.h"

// The GCC/Clang __atomic builtins act on plain (volatile) objects, wrap on signed
// overflow like two's-complement hardware, and compile to single lock-prefixed
// instructions on x86-64 (CAS loops elsewhere).

LONG InterlockedIncrement(LONG volatile* target)
{
    return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* target)
{
    return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(LONG volatile* target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand)
{
    // On failure the builtin writes the value found into comparand; on success
    // comparand already equals the previous value.
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

namespace {

// Applies op to *target with a compare-and-swap loop; returns the value stored.
template <typename Op>
int CompareAndSwapLoop(int volatile* target, Op op)
{
    int seen = __atomic_load_n(target, __ATOMIC_SEQ_CST);
    int wanted = op(seen);
    // A failed exchange refreshes seen with the value another thread stored meanwhile.
    while (!__atomic_compare_exchange_n(target, &seen, wanted, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
        wanted = op(seen);
    }
    return wanted;
}

}  // namespace

int InterlockedOr(int volatile* target, int mask)
{
    return CompareAndSwapLoop(target, [mask](int value) { return value | mask; });
}

int InterlockedAnd(int volatile* target, int mask)
{
    return CompareAndSwapLoop(target, [mask](int value) { return value & mask; });
}
