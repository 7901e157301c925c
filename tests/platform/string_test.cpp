#include "KvPlatformHelper.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

std::string Text(const CString& s)
{
    return std::string(s.GetString(), static_cast<size_t>(s.GetLength()));
}

LONG RefCount(const CString& s)
{
    return s.GetData()->refCount;
}

// Every operation keeps the block invariants: NUL at dataLength and at allocLength,
// and the empty text is the shared empty block or a private block of length 0.
void ExpectWellFormed(const CString& s)
{
    const CStringData* data = s.GetData();
    ASSERT_LE(0, data->dataLength);
    ASSERT_LE(data->dataLength, data->allocLength);
    EXPECT_EQ('\0', s.GetString()[data->dataLength]);
    EXPECT_EQ('\0', s.GetString()[data->allocLength]);
    if (data == CString::_atltmpDataNil) {
        EXPECT_EQ(-1, data->refCount);
        EXPECT_EQ(0, data->allocLength);
    } else {
        EXPECT_GE(data->refCount, 1);
    }
}

TEST(CString, EmptyStringsShareTheEmptyBlock)
{
    const CString cases[] = {CString(), CString(static_cast<const char*>(nullptr)), CString(""),
                             CString("abc", 0), CString("abc", -5), CString(L""),
                             CString(static_cast<const wchar_t*>(nullptr))};
    for (const CString& s : cases) {
        EXPECT_EQ(CString::_atltmpPchNil, s.GetString());
        EXPECT_EQ(CString::_atltmpDataNil, s.GetData());
        EXPECT_TRUE(s.IsEmpty());
    }
    EXPECT_EQ(CString::_atltmpPchNil, CString::GetEmptyString().GetString());
    EXPECT_EQ(-1, rgInitData.header.refCount);
    EXPECT_EQ(CString::_atltmpPchNil, reinterpret_cast<char*>(CString::_atltmpDataNil + 1));
}

TEST(CString, TextAndLengthConstructorKeepsNulsAndSearchesStopAtTheFirst)
{
    const CString s("abc\0def", 7);
    EXPECT_EQ(7, s.GetLength());
    EXPECT_EQ(std::string("abc\0def", 7), Text(s));
    EXPECT_EQ(-1, s.Find('d'));
    EXPECT_EQ(-1, s.Find("de"));
    EXPECT_EQ(3, s.Find('\0'));
    EXPECT_EQ(2, s.ReverseFind('c'));
    ExpectWellFormed(s);
}

TEST(CString, CopiesShareUntilOneWrites)
{
    CString first("path/name");
    CString second(first);
    EXPECT_EQ(first.GetString(), second.GetString());
    EXPECT_EQ(2, RefCount(first));
    second.MakeUpper();
    EXPECT_NE(first.GetString(), second.GetString());
    EXPECT_EQ("path/name", Text(first));
    EXPECT_EQ("PATH/NAME", Text(second));
    EXPECT_EQ(1, RefCount(first));
    EXPECT_EQ(1, RefCount(second));

    CString third;
    third = first;
    EXPECT_EQ(first.GetString(), third.GetString());
    third = CString();  // the shared block is released, not written
    EXPECT_TRUE(third.IsEmpty());
    EXPECT_EQ("path/name", Text(first));
    EXPECT_EQ(1, RefCount(first));
}

// Each writing operation applied to one copy of a shared text leaves the other copy as it was.
TEST(CString, EveryWriterSeparatesASharedBlock)
{
    struct Case {
        const char* name;
        void (*write)(CString&);
        const char* expected;
    } const cases[] = {
        {"MakeUpper", [](CString& s) { s.MakeUpper(); }, "ABCABC"},
        {"MakeLower", [](CString& s) { s.MakeLower(); }, "abcabc"},
        {"Replace char", [](CString& s) { s.Replace('b', 'x'); }, "axcaxc"},
        {"Replace text", [](CString& s) { s.Replace("bc", "Q"); }, "aQaQ"},
        {"Insert char", [](CString& s) { s.Insert(1, '-'); }, "a-bcabc"},
        {"Insert text", [](CString& s) { s.Insert(3, "--"); }, "abc--abc"},
        {"Delete", [](CString& s) { s.Delete(0, 3); }, "abc"},
        {"append", [](CString& s) { s += "!"; }, "abcabc!"},
        {"assign char", [](CString& s) { s = 'z'; }, "z"},
        {"assign text", [](CString& s) { s = "new"; }, "new"},
        {"Format", [](CString& s) { s.Format("%d", 42); }, "42"},
        {"GetBuffer", [](CString& s) { s.GetBuffer(10)[0] = 'X'; s.ReleaseBuffer(); }, "Xbcabc"},
        {"Empty", [](CString& s) { s.Empty(); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CString original("abcabc");
        CString copy(original);
        c.write(copy);
        EXPECT_EQ(c.expected, Text(copy));
        EXPECT_EQ("abcabc", Text(original));
        EXPECT_EQ(1, RefCount(original));
        ExpectWellFormed(copy);
    }
}

TEST(CString, ArgumentsPointingIntoTheStringItself)
{
    CString s("hello world");
    s = s.GetString() + 6;  // assign a part of itself
    EXPECT_EQ("world", Text(s));

    s = "abc";
    s += s;  // grows: the old block is released after the copy
    EXPECT_EQ("abcabc", Text(s));
    s.GetBuffer(20);
    s += s.GetString() + 3;  // fits: a part of itself appended in place
    EXPECT_EQ("abcabcabc", Text(s));

    s = "abcdef";
    EXPECT_EQ(9, s.Insert(0, s.GetString() + 3));
    EXPECT_EQ("defabcdef", Text(s));
    s.GetBuffer(40);
    EXPECT_EQ(17, s.Insert(4, s.GetString() + 1));  // room for it: moved under the insertion
    EXPECT_EQ("defaefabcdefbcdef", Text(s));

    s = "aXbXc";
    EXPECT_EQ(1, s.Replace(s.GetString() + 1, s.GetString() + 3));  // "XbXc" by "Xc"
    EXPECT_EQ("aXc", Text(s));
    s = "aXbXc";
    EXPECT_EQ(1, s.Replace(s.GetString() + 3, s.GetString()));  // "Xc" by "aXbXc"
    EXPECT_EQ("aXbaXbXc", Text(s));
    ExpectWellFormed(s);
}

TEST(CString, ExtractionNeverSharesTheSource)
{
    const CString hello("hello");
    struct {
        CString result;
        const char* expected;
    } const cases[] = {
        {hello.Left(2), "he"},        {hello.Left(-1), ""},       {hello.Left(99), "hello"},
        {hello.Right(3), "llo"},      {hello.Right(-4), ""},      {hello.Right(9), "hello"},
        {hello.Mid(-3, 2), "he"},     {hello.Mid(9, 2), ""},      {hello.Mid(5, 2), ""},
        {hello.Mid(1, 99), "ello"},   {hello.Mid(2, -1), ""},     {hello.Mid(3), "lo"},
        {hello.Mid(-1), "hello"},     {hello.Mid(6), ""},         {hello.Mid(0, INT32_MAX), "hello"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(c.expected, Text(c.result));
        EXPECT_NE(hello.GetString(), c.result.GetString());
        ExpectWellFormed(c.result);
    }
    EXPECT_EQ(1, RefCount(hello));
}

TEST(CString, DeleteReturnsTheLengthBeforeTheCall)
{
    struct {
        int index, count;
        const char* left;
    } const cases[] = {
        {2, 3, "abfg"}, {5, 10, "abcde"}, {-4, 2, "cdefg"}, {3, 0, "abcdefg"},
        {7, 1, "abcdefg"}, {0, -1, "abcdefg"}, {0, INT32_MAX, ""},
    };
    for (const auto& c : cases) {
        CString s("abcdefg");
        EXPECT_EQ(7, s.Delete(c.index, c.count));
        EXPECT_EQ(c.left, Text(s));
        ExpectWellFormed(s);
    }
}

TEST(CString, InsertClampsTheIndexAndReturnsTheNewLength)
{
    struct {
        int index;
        const char* inserted;
        int result;
        const char* text;
    } const cases[] = {
        {0, "xy", 5, "xyabc"}, {-9, "x", 4, "xabc"}, {3, "x", 4, "abcx"},
        {99, "xy", 5, "abcxy"}, {1, "", 3, "abc"},   {1, nullptr, 3, "abc"},
    };
    for (const auto& c : cases) {
        CString s("abc");
        EXPECT_EQ(c.result, s.Insert(c.index, c.inserted));
        EXPECT_EQ(c.text, Text(s));
    }
    CString s("ab");
    EXPECT_EQ(3, s.Insert(1, '\0'));  // a single character may be a NUL
    EXPECT_EQ(std::string("a\0b", 3), Text(s));
}

TEST(CString, ReplaceText)
{
    struct {
        std::string text;
        const char* oldText;
        const char* newText;
        int count;
        std::string result;
    } const cases[] = {
        {"aaaa", "aa", "b", 2, "bb"},
        {"aaa", "aa", "b", 1, "ba"},
        {"abc", "", "x", 0, "abc"},
        {"abc", nullptr, "x", 0, "abc"},
        {"abc", "b", nullptr, 0, "abc"},
        {"abc", "x", "y", 0, "abc"},
        {"abcb", "b", "", 2, "ac"},
        {"a.b.c", ".", "::", 2, "a::b::c"},
        {std::string("ab\0ab", 5), "ab", "xyz", 2, std::string("xyz\0xyz", 7)},  // every segment
        {std::string("abc\0abc", 7), "bc", "", 2, std::string("a\0a", 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CString s(c.text.data(), static_cast<int>(c.text.size()));
        EXPECT_EQ(c.count, s.Replace(c.oldText, c.newText));
        EXPECT_EQ(c.result, Text(s));
        ExpectWellFormed(s);
    }
}

TEST(CString, ReplaceCharacterStopsAtTheFirstOriginalNul)
{
    CString s(std::string("a.b.\0.c", 7).data(), 7);
    EXPECT_EQ(2, s.Replace('.', '\0'));
    EXPECT_EQ(std::string("a\0b\0\0.c", 7), Text(s));
    EXPECT_EQ(0, s.Replace('\0', 'x'));
}

TEST(CString, CompareNoCaseUpperCasesBothSidesAsciiOnly)
{
    struct {
        const char* text;
        const char* other;
        int sign;
    } const cases[] = {
        {"_", "a", 1},        // '_' sorts between 'Z' and 'a', above 'A'
        {"_", "A", 1},        {"abc", "ABC", 0}, {"abc", "abd", -1}, {"Abc", "ab", 1},
        {"", nullptr, 0},     {"a", nullptr, 1}, {"\xe4", "\xc4", 1},  // no locale folding
        {"[", "a", 1},        {"@", "a", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const int result = CString(c.text).CompareNoCase(c.other);
        EXPECT_EQ(c.sign, (result > 0) - (result < 0));
    }
    EXPECT_LT(CString("abc").Compare("abd"), 0);
    EXPECT_EQ(0, CString().Compare(nullptr));
}

TEST(CString, BuffersKeepTheBlockRules)
{
    CString s("abc");
    EXPECT_EQ(nullptr, s.GetBuffer(-1));
    char* buffer = s.GetBuffer(10);
    ASSERT_NE(nullptr, buffer);
    EXPECT_EQ(10, s.GetData()->allocLength);
    EXPECT_EQ(3, s.GetLength());
    EXPECT_EQ(buffer, s.GetBuffer(5));  // fits: the same block
    memcpy(buffer, "abcdefgh", 9);
    s.ReleaseBuffer();
    EXPECT_EQ("abcdefgh", Text(s));
    s.ReleaseBuffer(2);
    EXPECT_EQ("ab", Text(s));
    s.ReleaseBuffer(99);  // beyond the block: kept within it
    EXPECT_EQ(10, s.GetLength());
    ExpectWellFormed(s);
    EXPECT_EQ(s.GetString(), s.GetBufferSetLength(4));
    EXPECT_EQ(4, s.GetLength());

    CString empty;
    EXPECT_EQ(CString::_atltmpPchNil, empty.GetBuffer(0));
    empty.ReleaseBuffer();  // the empty block is never written
    EXPECT_EQ(CString::_atltmpPchNil, empty.GetBufferSetLength(0));
    ExpectWellFormed(empty);

    // Emptying a private block keeps its capacity; a shared one is released.
    CString text("abcdef");
    char* const before = text.GetBuffer(0);
    text = "";
    EXPECT_EQ(before, text.GetString());
    EXPECT_EQ(6, text.GetData()->allocLength);
    text.Empty();
    EXPECT_EQ(before, text.GetString());
    text = "x";
    text.Empty();
    EXPECT_EQ(CString::_atltmpPchNil, text.GetString());
}

TEST(CString, LengthLimitsAtTheBoundary)
{
    const int limit = 0x7FFFFFFE;
    CString s("abc");
    EXPECT_EQ(nullptr, s.GetBuffer(limit));
    EXPECT_EQ(nullptr, s.GetBufferSetLength(limit));
    EXPECT_EQ("abc", Text(s));
    EXPECT_FALSE(s.AllocBuffer(limit));
    EXPECT_FALSE(s.AllocBuffer(0));
    EXPECT_FALSE(s.AllocBuffer(-1));
    EXPECT_EQ("abc", Text(s));

    // Sums that would wrap an int are refused, never narrowed into a small allocation.
    s.ConcatInPlace(INT32_MAX, "x");
    EXPECT_EQ("abc", Text(s));
    s.ConcatInPlace(limit - 3, "x");
    EXPECT_EQ("abc", Text(s));
    EXPECT_FALSE(s.ConcatCopy(INT32_MAX, "a", INT32_MAX, "b"));
    EXPECT_FALSE(s.ConcatCopy(limit - 1, "a", 1, "b"));
    EXPECT_TRUE(s.ConcatCopy(0, "", 0, ""));
    EXPECT_EQ("abc", Text(s));
    s.ConcatInPlace(-5, "x");
    EXPECT_EQ("abc", Text(s));

    CString dest("kept");
    s.AllocCopy(dest, INT32_MAX, 0, INT32_MAX);
    EXPECT_EQ("kept", Text(dest));
    s.AllocCopy(dest, 1, 0, limit - 1);
    EXPECT_EQ("kept", Text(dest));

    s.AssignCopy(-1, "zz");  // a negative length gives the empty string
    EXPECT_TRUE(s.IsEmpty());

    // The largest allowed block is one below the limit: ask for it without touching it.
    CString big;
    EXPECT_EQ(nullptr, big.GetBuffer(limit + 1));
    EXPECT_EQ(nullptr, big.GetBuffer(INT32_MAX));
    ExpectWellFormed(big);
}

TEST(CString, AppendingGrowsToExactlyTheNeededLength)
{
    CString s;
    int reallocations = 0;
    for (int i = 0; i < 50; ++i) {
        const char* before = s.GetString();
        s += static_cast<char>('a' + i % 26);
        reallocations += s.GetString() != before;
        EXPECT_EQ(s.GetLength(), s.GetData()->allocLength);
    }
    EXPECT_EQ(50, reallocations);  // a full block is reallocated at every append
    EXPECT_EQ(50, s.GetLength());
    s += static_cast<const char*>(nullptr);
    s += CString();
    EXPECT_EQ(50, s.GetLength());
}

TEST(CString, FormatGrowsAndAnEmptyResultEmptiesTheString)
{
    CString s("previous");
    s.Format("%s-%d", "x", 7);
    EXPECT_EQ("x-7", Text(s));
    const std::string wide(5000, 'w');
    s.Format("[%s]", wide.c_str());
    EXPECT_EQ("[" + wide + "]", Text(s));
    ExpectWellFormed(s);
    s.Format("%s", s.GetString() + 1);  // the own text as an argument
    EXPECT_EQ(wide + "]", Text(s));

    s.Format("%s", "");
    EXPECT_TRUE(s.IsEmpty());
    s = "kept";
    s.Format(nullptr);
    EXPECT_EQ("kept", Text(s));
    const CString shared(s);
    s.Format("%s", "");
    EXPECT_EQ("kept", Text(shared));
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CString, WideTextsConvertWithinTheirBlock)
{
    EXPECT_EQ("plain", Text(CString(L"plain")));
    CString s;
    s = L"assigned";
    EXPECT_EQ("assigned", Text(s));
    EXPECT_EQ(16, s.GetData()->allocLength);  // two bytes reserved per wide character
    // In the C locale a character outside ASCII cannot be converted: the text is empty and
    // terminated, never unterminated bytes.
    ASSERT_STREQ("C", setlocale(LC_CTYPE, nullptr));
    const CString failed(L"ab\u00e9cd");
    EXPECT_TRUE(failed.IsEmpty());
    ExpectWellFormed(failed);
    s = L"ab\u00e9cd";
    EXPECT_TRUE(s.IsEmpty());
    ExpectWellFormed(s);
}

TEST(CString, SingleCharacterAssignmentReusesAPrivateBlock)
{
    CString s("abc");
    const char* block = s.GetString();
    s = 'x';
    EXPECT_EQ(block, s.GetString());
    EXPECT_EQ("x", Text(s));
    s = '\0';
    EXPECT_EQ(1, s.GetLength());
    CString empty;
    empty = 'q';
    EXPECT_EQ(1, empty.GetData()->allocLength);
    const unsigned char bytes[] = {'u', 0};
    empty = bytes;
    EXPECT_EQ("u", Text(empty));
    empty = static_cast<const char*>(nullptr);
    EXPECT_TRUE(empty.IsEmpty());
}

TEST(CString, CaseConversion)
{
    CString s("MiXeD_09-\xe4");
    s.MakeUpper();
    EXPECT_EQ("MIXED_09-\xe4", Text(s));
    s.MakeLower();
    EXPECT_EQ("mixed_09-\xe4", Text(s));
    CString empty;
    empty.MakeUpper();
    empty.MakeLower();
    EXPECT_EQ(CString::_atltmpPchNil, empty.GetString());
}

}  // namespace
