#include "KvPlatformHelper.h"

#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <string>

namespace {

std::string Text(const CString& s) { return std::string(s.GetString(), static_cast<size_t>(s.GetLength())); }

// The block rules every operation keeps: NUL at dataLength and allocLength, the empty block
// uncounted, any other block counted.
void ExpectWellFormed(const CString& s)
{
    const CStringData* data = s.GetData();
    ASSERT_TRUE(0 <= data->dataLength && data->dataLength <= data->allocLength);
    EXPECT_TRUE(s.GetString()[data->dataLength] == '\0' && s.GetString()[data->allocLength] == '\0');
    EXPECT_EQ(data == CString::_atltmpDataNil, data->refCount == -1);
}

TEST(CString, EmptyStringsShareTheEmptyBlock)
{
    for (const CString& s : {CString(), CString(static_cast<const char*>(nullptr)), CString(""), CString("abc", 0),
                             CString("abc", -5), CString(L""), CString::GetEmptyString()})
        EXPECT_EQ(CString::_atltmpPchNil, s.GetString());  // the data block lies right before the text
}

// Each writer applied to a copy of a shared text separates it and leaves the original alone.
TEST(CString, EveryWriterSeparatesASharedBlock)
{
    const struct { const char* name; void (*write)(CString&); const char* expected; } cases[] = {
        {"MakeUpper", [](CString& s) { s.MakeUpper(); }, "ABC_ABC\xe4"}, {"MakeLower", [](CString& s) { s.MakeLower(); }, "abc_abc\xe4"},
        {"Replace text", [](CString& s) { s.Replace("bc", "Q"); }, "aQ_aQ\xe4"}, {"Insert", [](CString& s) { s.Insert(3, "--"); }, "abc--_abc\xe4"},
        {"Delete", [](CString& s) { s.Delete(0, 4); }, "abc\xe4"}, {"+=", [](CString& s) { s += "!"; }, "abc_abc\xe4!"},
        {"GetBuffer", [](CString& s) { s.GetBuffer(10)[0] = 'X'; s.ReleaseBuffer(); }, "Xbc_abc\xe4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CString original("abc_abc\xe4");
        CString copy(original);
        EXPECT_EQ(original.GetString(), copy.GetString());
        c.write(copy);
        EXPECT_EQ(c.expected, Text(copy));
        EXPECT_TRUE(Text(original) == "abc_abc\xe4" && original.GetData()->refCount == 1);
        ExpectWellFormed(copy);
    }
}

TEST(CString, ArgumentsPointingIntoTheStringItself)
{
    CString s("hello world");
    s = s.GetString() + 2;
    EXPECT_EQ("llo world", Text(s));
    s = "abc";
    s += s;  // grows: the old block is released after the copy
    s.GetBuffer(20), s += s.GetString() + 3;  // fits: appended in place
    EXPECT_EQ("abcabcabc", Text(s));
    s = "abcdef";
    s.GetBuffer(40);
    EXPECT_TRUE(s.Insert(0, s.GetString() + 1) == 11 && Text(s) == "bcdefabcdef");  // the text moves under it
    s = "aXbXc";
    EXPECT_TRUE(s.Replace(s.GetString() + 3, s.GetString()) == 1 && Text(s) == "aXbaXbXc");  // "Xc" by "aXbXc"
    ExpectWellFormed(s);
}

TEST(CString, ExtractionsNeverShare)
{
    const CString hello("hello");
    const std::pair<CString, const char*> extracted[] = {
        {hello.Left(2), "he"},    {hello.Left(-1), ""},  {hello.Right(9), "hello"},
        {hello.Mid(-3, 2), "he"}, {hello.Mid(9, 2), ""}, {hello.Mid(3), "lo"}};
    for (const auto& c : extracted)
        EXPECT_TRUE(Text(c.first) == c.second && hello.GetString() != c.first.GetString()) << c.second;
}

// Each edit's result (Delete: the length before the call) and the text it leaves; texts keep
// their NULs, the C-string search and the replacement of a character stop at the first one.
TEST(CString, EditsAndTheirResults)
{
    const struct { std::string text; std::function<int(CString&)> edit; int result; std::string left; } cases[] = {
        {std::string("abc\0def", 7), [](CString& s) { return s.Find('d'); }, -1, std::string("abc\0def", 7)},
        {"abcdefg", [](CString& s) { return s.Delete(2, 3); }, 7, "abfg"}, {"abcdefg", [](CString& s) { return s.Delete(5, 10); }, 7, "abcde"},
        {"abcdefg", [](CString& s) { return s.Delete(-4, 2); }, 7, "cdefg"}, {"abcdefg", [](CString& s) { return s.Delete(7, 1); }, 7, "abcdefg"},
        {"ab", [](CString& s) { return s.Insert(-9, 'x'); }, 3, "xab"}, {"ab", [](CString& s) { return s.Insert(99, "yz"); }, 4, "abyz"},
        {"ab", [](CString& s) { return s.Insert(1, '\0'); }, 3, std::string("a\0b", 3)},
        {"aaaa", [](CString& s) { return s.Replace("aa", "b"); }, 2, "bb"}, {"abc", [](CString& s) { return s.Replace("", "x"); }, 0, "abc"},
        {"a.b.c", [](CString& s) { return s.Replace(".", "::"); }, 2, "a::b::c"},
        {std::string("a\0a", 3), [](CString& s) { return s.Replace("a", "xyz"); }, 2, std::string("xyz\0xyz", 7)},
        {std::string("abc\0abc", 7), [](CString& s) { return s.Replace("bc", ""); }, 2, std::string("a\0a", 3)},
        {std::string("a.b.\0.c", 7), [](CString& s) { return s.Replace('.', '\0'); }, 2, std::string("a\0b\0\0.c", 7)},
    };
    for (const auto& c : cases) {
        CString s(c.text.data(), static_cast<int>(c.text.size()));
        EXPECT_TRUE(c.edit(s) == c.result && Text(s) == c.left) << &c - cases;
        ExpectWellFormed(s);
    }
}

TEST(CString, CompareNoCaseUpperCasesBothSidesAsciiOnly)
{
    // '_' lies between 'Z' and 'a': above every upper-cased letter. No locale folding.
    const struct { const char *text, *other; int sign; } cases[] = {
        {"_", "a", 1}, {"abc", "ABC", 0}, {"abc", "abd", -1}, {"a", nullptr, 1}, {"\xe4", "\xc4", 1}};
    for (const auto& c : cases) {
        const int result = CString(c.text).CompareNoCase(c.other);
        EXPECT_EQ(c.sign, (result > 0) - (result < 0)) << c.text;
    }
}

TEST(CString, BuffersGrowExactlyAndKeepTheirRules)
{
    CString s("abc");
    char* buffer = s.GetBuffer(10);
    EXPECT_TRUE(s.GetData()->allocLength == 10 && s.GetBuffer(5) == buffer);
    s.ReleaseBuffer(99);  // beyond the block: kept within it
    EXPECT_EQ(10, s.GetLength());
    ExpectWellFormed(s);
    CString empty;
    empty.ReleaseBuffer();  // the empty block is never written
    for (int i = 0; i < 20; ++i, empty += 'x')  // no spare room: every append reallocates
        EXPECT_EQ(empty.GetLength(), empty.GetData()->allocLength);
}

TEST(CString, LengthLimitsAtTheBoundary)
{
    const int limit = 0x7FFFFFFE;
    CString s("abc");
    EXPECT_TRUE(s.GetBuffer(limit) == nullptr && s.GetBufferSetLength(INT32_MAX) == nullptr && !s.AllocBuffer(limit));
    // Sums that would pass the limit or wrap an int are refused before anything is allocated.
    for (int length : {limit - 3, INT32_MAX, -5})
        s.ConcatInPlace(length, "x");
    EXPECT_FALSE(s.ConcatCopy(INT32_MAX, "a", INT32_MAX, "b") || s.ConcatCopy(limit - 1, "a", 1, "b"));
    CString dest("kept");
    s.AllocCopy(dest, 1, 0, limit - 1);
    EXPECT_TRUE(Text(dest) == "kept" && Text(s) == "abc");
    CString many(std::string(2048, 'a').c_str());  // 2048 x 2^20 more: past the limit
    EXPECT_EQ(-1, many.Replace("a", std::string((1 << 20) + 1, 'b').c_str()));
    EXPECT_TRUE((s.AssignCopy(-1, "zz"), s.IsEmpty()));  // a negative length gives the empty string
}

TEST(CString, FormatAndWideTexts)
{
    CString s("previous");
    const std::string wide(5000, 'w');
    s.Format("[%s]", wide.c_str());
    EXPECT_EQ("[" + wide + "]", Text(s));
    s.Format("%s", s.GetString() + 1);  // the own text as an argument
    EXPECT_EQ(wide + "]", Text(s));
    EXPECT_TRUE((s.Format("%s", ""), s.IsEmpty()));  // an empty result empties the string

    CString fromWide;
    fromWide = L"assigned";  // two bytes reserved per wide character
    EXPECT_TRUE(Text(fromWide) == "assigned" && fromWide.GetData()->allocLength == 16);
    // In the C locale a character outside ASCII cannot be converted: empty and terminated.
    ASSERT_STREQ("C", setlocale(LC_CTYPE, nullptr));
    EXPECT_TRUE((s = L"ab\u00e9cd").IsEmpty());
    ExpectWellFormed(s);
    // In UTF-8 one byte per character is too little: the text ends at the last whole one.
    ASSERT_NE(nullptr, setlocale(LC_CTYPE, "C.UTF-8"));
    const CString cut(L"a\u00e9");
    setlocale(LC_CTYPE, "C");
    EXPECT_EQ("a", Text(cut));
}

}  // namespace
