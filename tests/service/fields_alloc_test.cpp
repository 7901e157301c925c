#include "fields_alloc.h"

#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <tuple>

namespace {

using IxoWebservice::fields_alloc;
namespace http = boost::beast::http;

TEST(FieldsAlloc, CopiesAndRebindsShareOnePoolAndCompareEqual)
{
    fields_alloc<char> original(256);
    EXPECT_EQ(original.pool().sharers(), 1u);
    {
        fields_alloc<char> copy(original);
        fields_alloc<std::uint64_t> rebound(original);
        fields_alloc<char> back(rebound);
        EXPECT_EQ(original.pool().sharers(), 4u);
        EXPECT_TRUE(copy == original);
        EXPECT_TRUE(rebound == original);
        EXPECT_TRUE(back == copy);
        EXPECT_FALSE(rebound != original);

        // A block taken through one sharer is visible through every other.
        char* block = copy.allocate(8);
        EXPECT_EQ(original.pool().blocks_out(), 1u);
        back.deallocate(block, 8);
        EXPECT_EQ(rebound.pool().blocks_out(), 0u);
    }
    EXPECT_EQ(original.pool().sharers(), 1u);

    fields_alloc<char> other(256);
    EXPECT_FALSE(other == original);
    EXPECT_TRUE(other != original);

    other = original;
    EXPECT_TRUE(other == original);
    EXPECT_EQ(original.pool().sharers(), 2u);
}

TEST(FieldsAlloc, PoolOutlivesTheAllocatorThatMadeIt)
{
    auto* survivor = new fields_alloc<char>(fields_alloc<char>(64));
    char* block = survivor->allocate(16);
    block[15] = 'x';
    survivor->deallocate(block, 16);
    delete survivor;  // last sharer: the leak checker reports the pool if it stays
}

TEST(FieldsAlloc, RewindsOnlyWhenEveryBlockIsBack)
{
    fields_alloc<char> alloc(128);
    char* first = alloc.allocate(16);
    char* second = alloc.allocate(16);
    EXPECT_EQ(second, first + 16);

    alloc.deallocate(first, 16);
    char* third = alloc.allocate(16);
    EXPECT_EQ(third, second + 16) << "a returned block must not be reused before the rewind";
    EXPECT_EQ(alloc.pool().blocks_out(), 2u);

    alloc.deallocate(second, 16);
    alloc.deallocate(third, 16);
    EXPECT_EQ(alloc.pool().blocks_out(), 0u);
    EXPECT_EQ(alloc.pool().bytes_used(), 0u);
    EXPECT_EQ(alloc.allocate(16), first);
}

TEST(FieldsAlloc, RefusesTheBlockThatWouldExactlyFillTheArena)
{
    struct Case {
        std::size_t taken_before;
        std::size_t request;
        bool accepted;
    };
    const Case cases[] = {
        {0, 64, false}, {0, 63, true}, {0, 65, false}, {8, 56, false}, {8, 55, true}, {0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "after " << c.taken_before << " bytes, ask " << c.request);
        fields_alloc<char> alloc(64);
        if (c.taken_before != 0)
            alloc.allocate(c.taken_before);
        if (c.accepted) {
            char* block = alloc.allocate(c.request);
            EXPECT_EQ(alloc.pool().bytes_used(), c.taken_before + c.request);
            if (c.request != 0)
                block[c.request - 1] = 'z';  // the sanitizer checks this byte is ours
        } else {
            const std::size_t used = alloc.pool().bytes_used();
            EXPECT_THROW(alloc.allocate(c.request), std::bad_alloc);
            EXPECT_EQ(alloc.pool().bytes_used(), used) << "a refused block must leave the arena as it was";
        }
    }
}

TEST(FieldsAlloc, WideElementsAreCountedInBytesAndAligned)
{
    fields_alloc<char> bytes(128);
    fields_alloc<std::uint64_t> words(bytes);
    bytes.allocate(3);
    std::uint64_t* w = words.allocate(2);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(w) % alignof(std::uint64_t), 0u);
    EXPECT_EQ(bytes.pool().bytes_used(), 8u + 16u);
    EXPECT_THROW(words.allocate(13), std::bad_alloc);  // 104 more bytes would reach the end
    EXPECT_NO_THROW(words.allocate(12));
}

TEST(FieldsAlloc, FieldsThatDoNotFitThrowInsteadOfOverrunning)
{
    fields_alloc<char> alloc(512);
    http::basic_fields<fields_alloc<char>> fields(alloc);
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
        try {
            fields.insert("X-" + std::to_string(i), "some value");
        } catch (const std::bad_alloc&) {
            refused = true;
        }
        EXPECT_LT(alloc.pool().bytes_used(), alloc.pool().arena_size());
    }
    EXPECT_TRUE(refused);
    fields.clear();
    EXPECT_EQ(alloc.pool().blocks_out(), 0u);
    EXPECT_EQ(alloc.pool().bytes_used(), 0u);
}

std::string request_with_fields(int count)
{
    std::string text = "GET /index.html HTTP/1.1\r\n";
    for (int i = 0; i < count; ++i)
        text += "a:\r\n";
    return text + "\r\n";
}

TEST(FieldsAlloc, ParserOnAFullArenaThrowsAndGivesEverythingBack)
{
    fields_alloc<char> alloc(8192);
    struct Case {
        int fields;
        bool fits;
    };
    // Each one-letter empty field takes 64 bytes of the arena.
    const Case cases[] = {{10, true}, {120, true}, {130, false}, {1000, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fields << " fields");
        const std::string text = request_with_fields(c.fields);
        {
            http::request_parser<http::string_body, fields_alloc<char>> parser(
                std::piecewise_construct, std::make_tuple(), std::forward_as_tuple(alloc));
            parser.header_limit(static_cast<std::uint32_t>(text.size() + 1));
            boost::beast::error_code ec;
            if (c.fits) {
                parser.put(boost::asio::buffer(text), ec);
                EXPECT_FALSE(ec) << ec.message();
                EXPECT_TRUE(parser.is_done());
                EXPECT_EQ(parser.get().target(), "/index.html");
            } else {
                EXPECT_THROW(parser.put(boost::asio::buffer(text), ec), std::bad_alloc);
            }
            EXPECT_LT(alloc.pool().bytes_used(), alloc.pool().arena_size());
        }
        EXPECT_EQ(alloc.pool().blocks_out(), 0u);
        EXPECT_EQ(alloc.pool().sharers(), 1u);
    }
}

}  // namespace
