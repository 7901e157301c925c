#include "fields_alloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>

namespace {

using IxoWebservice::fields_alloc;

TEST(FieldsAlloc, RewindsOnlyWhenEveryBlockIsBack)
{
    fields_alloc<char> alloc(128);
    char* first = alloc.allocate(16);
    char* second = alloc.allocate(16);
    alloc.deallocate(first, 16);
    char* third = alloc.allocate(16);
    EXPECT_EQ(third, second + 16) << "a returned block must not be reused before the rewind";
    alloc.deallocate(second, 16);
    alloc.deallocate(third, 16);
    EXPECT_EQ(alloc.pool().bytes_used(), 0u);
    EXPECT_EQ(alloc.allocate(16), first);
}

TEST(FieldsAlloc, RefusesTheBlockThatWouldFillTheArenaAndARebindSharesItAligned)
{
    const struct { std::size_t before, request; bool accepted; } cases[] = {
        {0, 64, false}, {0, 63, true}, {8, 56, false}, {8, 55, true}, {0, 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "after " << c.before << " bytes, ask " << c.request);
        fields_alloc<char> alloc(64);
        alloc.allocate(c.before);
        if (c.accepted) {
            char* block = alloc.allocate(c.request);
            if (c.request != 0)
                block[c.request - 1] = 'z';  // the sanitizer checks this byte is ours
        } else {
            EXPECT_THROW(alloc.allocate(c.request), std::bad_alloc);
            EXPECT_EQ(alloc.pool().bytes_used(), c.before) << "a refused block leaves the arena as it was";
        }
    }
    // A rebound copy shares the pool (its lifetime across the parser's copies is exercised, under the leak
    // checker, by the request fuzz harness's replay).
    fields_alloc<char> bytes(128);
    fields_alloc<std::uint64_t> words(bytes);
    EXPECT_TRUE(fields_alloc<char>(words) == bytes);
    EXPECT_TRUE(fields_alloc<char>(128) != bytes);
    bytes.allocate(3);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(words.allocate(2)) % alignof(std::uint64_t), 0u);
    EXPECT_EQ(bytes.pool().bytes_used(), 8u + 16u);
    EXPECT_THROW(words.allocate(13), std::bad_alloc);
}

}  // namespace
