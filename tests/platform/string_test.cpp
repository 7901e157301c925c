#include "KvPlatformHelper.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

std::string Text(const CString& s)
{
    return std::string(s.GetString(), static_cast<size_t>(s.GetLength()));
}

// The block rules every operation keeps: NUL at dataLength and allocLength, the empty block
// uncounted, any other block counted.
void ExpectWellFormed(const CString& s)
{
    const CStringData* data = s.GetData();
    ASSERT_TRUE(0 <= data->dataLength && data->dataLength <= data->allocLength);
    EXPECT_EQ('\0', s.GetString()[data->dataLength]);
    EXPECT_EQ('\0', s.GetString()[data->allocLength]);
    EXPECT_EQ(data == CString::_atltmpDataNil, data->refCount == -1);
}

TEST(CString, EmptyStringsShareTheEmptyBlock)
{
    const CString cases[] = {CString(), CString(static_cast<const char*>(nullptr)), CString(""),
                             CString("abc", 0), CString("abc", -5), CString(L""),
                             CString::GetEmptyString()};
    for (const CString& s : cases) {
        EXPECT_EQ(CString::_atltmpPchNil, s.GetString());
        EXPECT_EQ(CString::_atltmpDataNil, s.GetData());
    }
    // Text with a length keeps its NULs; the C-string searches stop at the first.
    const CString s("abc\0def", 7);
    EXPECT_EQ(std::string("abc\0def", 7), Text(s));
    EXPECT_EQ(-1, s.Find('d'));
}

// Each writer applied to a copy of a shared text separates it and leaves the original alone.
TEST(CString, EveryWriterSeparatesASharedBlock)
{
    struct Case {
        const char* name;
        void (*write)(CString&);
        const char* expected;
    } const cases[] = {
        {"MakeUpper", [](CString& s) { s.MakeUpper(); }, "ABC_ABC\xe4"},
        {"MakeLower", [](CString& s) { s.MakeLower(); }, "abc_abc\xe4"},
        {"Replace text", [](CString& s) { s.Replace("bc", "Q"); }, "aQ_aQ\xe4"},
        {"Insert", [](CString& s) { s.Insert(3, "--"); }, "abc--_abc\xe4"},
        {"Delete", [](CString& s) { s.Delete(0, 4); }, "abc\xe4"},
        {"append", [](CString& s) { s += "!"; }, "abc_abc\xe4!"},
        {"GetBuffer", [](CString& s) { s.GetBuffer(10)[0] = 'X'; s.ReleaseBuffer(); }, "Xbc_abc\xe4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CString original("abc_abc\xe4");
        CString copy(original);
        EXPECT_EQ(original.GetString(), copy.GetString());
        c.write(copy);
        EXPECT_EQ(c.expected, Text(copy));
        EXPECT_EQ("abc_abc\xe4", Text(original));
        EXPECT_EQ(1, original.GetData()->refCount);
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
    s.GetBuffer(20);
    s += s.GetString() + 3;  // fits: appended in place
    EXPECT_EQ("abcabcabc", Text(s));
    s = "abcdef";
    s.GetBuffer(40);
    EXPECT_EQ(11, s.Insert(0, s.GetString() + 1));  // the text moves under the insertion
    EXPECT_EQ("bcdefabcdef", Text(s));
    s = "aXbXc";
    EXPECT_EQ(1, s.Replace(s.GetString() + 3, s.GetString()));  // "Xc" by "aXbXc"
    EXPECT_EQ("aXbaXbXc", Text(s));
    ExpectWellFormed(s);
}

TEST(CString, ExtractionDeletionAndInsertion)
{
    const CString hello("hello");
    const std::pair<CString, const char*> extracted[] = {
        {hello.Left(2), "he"},    {hello.Left(-1), ""},  {hello.Right(9), "hello"},
        {hello.Mid(-3, 2), "he"}, {hello.Mid(9, 2), ""}, {hello.Mid(3), "lo"}};
    for (const auto& c : extracted) {
        EXPECT_EQ(c.second, Text(c.first));
        EXPECT_NE(hello.GetString(), c.first.GetString());  // never shared
    }
    const struct { int index, count; const char* left; } deleted[] = {
        {2, 3, "abfg"}, {5, 10, "abcde"}, {-4, 2, "cdefg"}, {7, 1, "abcdefg"}};
    for (const auto& c : deleted) {
        CString s("abcdefg");
        EXPECT_EQ(7, s.Delete(c.index, c.count));  // the length before the call
        EXPECT_EQ(c.left, Text(s));
    }
    CString s("ab");
    EXPECT_EQ(3, s.Insert(-9, 'x'));
    EXPECT_EQ(5, s.Insert(99, "yz"));
    EXPECT_EQ(6, s.Insert(1, '\0'));  // a single character may be a NUL
    EXPECT_EQ(std::string("x\0abyz", 6), Text(s));
}

TEST(CString, ReplaceText)
{
    const struct {
        std::string text;
        const char *oldText, *newText;
        int count;
        std::string result;
    } cases[] = {
        {"aaaa", "aa", "b", 2, "bb"},
        {"abc", "", "x", 0, "abc"},
        {"a.b.c", ".", "::", 2, "a::b::c"},
        {std::string("a\0a", 3), "a", "xyz", 2, std::string("xyz\0xyz", 7)},  // every segment
        {std::string("abc\0abc", 7), "bc", "", 2, std::string("a\0a", 3)},
    };
    for (const auto& c : cases) {
        CString s(c.text.data(), static_cast<int>(c.text.size()));
        EXPECT_EQ(c.count, s.Replace(c.oldText, c.newText));
        EXPECT_EQ(c.result, Text(s));
        ExpectWellFormed(s);
    }
    CString s(std::string("a.b.\0.c", 7).data(), 7);
    EXPECT_EQ(2, s.Replace('.', '\0'));  // up to the first NUL of the text as it was
    EXPECT_EQ(std::string("a\0b\0\0.c", 7), Text(s));
}

TEST(CString, CompareNoCaseUpperCasesBothSidesAsciiOnly)
{
    // '_' lies between 'Z' and 'a': above every upper-cased letter. No locale folding.
    const struct {
        const char *text, *other;
        int sign;
    } cases[] = {{"_", "a", 1}, {"abc", "ABC", 0}, {"abc", "abd", -1}, {"a", nullptr, 1}, {"\xe4", "\xc4", 1}};
    for (const auto& c : cases) {
        const int result = CString(c.text).CompareNoCase(c.other);
        EXPECT_EQ(c.sign, (result > 0) - (result < 0)) << c.text;
    }
}

TEST(CString, BuffersGrowExactlyAndKeepTheirRules)
{
    CString s("abc");
    char* buffer = s.GetBuffer(10);
    EXPECT_EQ(10, s.GetData()->allocLength);
    EXPECT_EQ(buffer, s.GetBuffer(5));
    s.ReleaseBuffer(99);  // beyond the block: kept within it
    EXPECT_EQ(10, s.GetLength());
    ExpectWellFormed(s);
    CString empty;
    empty.ReleaseBuffer();  // the empty block is never written
    int reallocations = 0;
    for (int i = 0; i < 20; ++i) {
        const char* before = empty.GetString();
        empty += 'x';
        reallocations += empty.GetString() != before;
    }
    EXPECT_EQ(20, reallocations);  // no spare room: every append to a full block reallocates
}

TEST(CString, LengthLimitsAtTheBoundary)
{
    const int limit = 0x7FFFFFFE;
    CString s("abc");
    EXPECT_EQ(nullptr, s.GetBuffer(limit));
    EXPECT_EQ(nullptr, s.GetBufferSetLength(INT32_MAX));
    EXPECT_FALSE(s.AllocBuffer(limit));
    // Sums that would pass the limit or wrap an int are refused before anything is allocated.
    s.ConcatInPlace(limit - 3, "x");
    s.ConcatInPlace(INT32_MAX, "x");
    s.ConcatInPlace(-5, "x");
    EXPECT_FALSE(s.ConcatCopy(INT32_MAX, "a", INT32_MAX, "b"));
    EXPECT_FALSE(s.ConcatCopy(limit - 1, "a", 1, "b"));
    CString dest("kept");
    s.AllocCopy(dest, 1, 0, limit - 1);
    EXPECT_EQ("kept", Text(dest));
    EXPECT_EQ("abc", Text(s));
    CString many(std::string(65536, 'a').c_str());  // 65536 x 32767 more: past the limit
    EXPECT_EQ(-1, many.Replace("a", std::string(32768, 'b').c_str()));
    s.AssignCopy(-1, "zz");  // a negative length gives the empty string
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CString, FormatAndWideTexts)
{
    CString s("previous");
    const std::string wide(5000, 'w');
    s.Format("[%s]", wide.c_str());
    EXPECT_EQ("[" + wide + "]", Text(s));
    s.Format("%s", s.GetString() + 1);  // the own text as an argument
    EXPECT_EQ(wide + "]", Text(s));
    s.Format("%s", "");  // an empty result empties the string
    EXPECT_TRUE(s.IsEmpty());

    CString fromWide;
    fromWide = L"assigned";
    EXPECT_EQ("assigned", Text(fromWide));
    EXPECT_EQ(16, fromWide.GetData()->allocLength);  // two bytes reserved per wide character
    // In the C locale a character outside ASCII cannot be converted: empty and terminated.
    ASSERT_STREQ("C", setlocale(LC_CTYPE, nullptr));
    s = L"ab\u00e9cd";
    EXPECT_TRUE(s.IsEmpty());
    ExpectWellFormed(s);
    // In UTF-8 one byte per character is too little: the text ends at the last whole one.
    ASSERT_NE(nullptr, setlocale(LC_CTYPE, "C.UTF-8"));
    const CString cut(L"a\u00e9");
    setlocale(LC_CTYPE, "C");
    EXPECT_EQ("a", Text(cut));
}

}  // namespace
