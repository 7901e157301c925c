// Strings: CString, a reference-counted single-byte text with copy-before-write.
#include "KvPlatformHelper.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

CStringNilBlock rgInitData = {{-1, 0, 0}, {0, 0, 0, 0}};

CStringData* const CString::_atltmpDataNil = &rgInitData.header;
char* const CString::_atltmpPchNil = rgInitData.characters;

namespace {

// No block is made for this length or more; lengths are summed in 64 bits and checked
// against it before they are narrowed to int.
constexpr int64_t kLengthLimit = 0x7FFFFFFE;

bool WithinLimit(int64_t n)
{
    return n > 0 && n < kLengthLimit;
}

// Reference counts are read with acquire ordering: a writer that sees itself as the only
// user also sees every access of the copies released before.
LONG LoadRefCount(const CStringData* data)
{
    return __atomic_load_n(&data->refCount, __ATOMIC_ACQUIRE);
}

// A new block of n characters (0 < n < limit): refCount 1, both lengths n, NUL at n.
CStringData* NewBlock(int n)
{
    char* storage = new char[sizeof(CStringData) + static_cast<size_t>(n) + 1];
    CStringData* data = new (storage) CStringData{1, n, n};
    data->data()[n] = '\0';
    return data;
}

bool IsPrivate(const CStringData* data)
{
    return LoadRefCount(data) <= 1;
}

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

// ---- construction, assignment and destruction ----

CString::CString() : chars(_atltmpPchNil) {}

CString::CString(const char* s) : chars(_atltmpPchNil)
{
    if (s == nullptr) {
        return;
    }
    const size_t length = strlen(s);
    if (length == 0 || length >= static_cast<size_t>(kLengthLimit)) {
        return;
    }
    char* buffer = GetBuffer(static_cast<int>(length));
    if (buffer != nullptr) {
        memcpy(buffer, s, length + 1);
        GetData()->dataLength = static_cast<int>(length);
    }
}

CString::CString(const char* s, int n) : chars(_atltmpPchNil)
{
    if (s != nullptr && AllocBuffer(n)) {
        memcpy(chars, s, static_cast<size_t>(n));
    }
}

CString::CString(const wchar_t* ws) : chars(_atltmpPchNil)
{
    if (ws == nullptr || *ws == L'\0') {
        return;
    }
    AssignWide(ws, static_cast<int64_t>(wcslen(ws)));
}

CString::CString(const CString& other) : chars(_atltmpPchNil)
{
    CStringData* data = other.GetData();
    if (data != _atltmpDataNil && LoadRefCount(data) >= 0) {
        InterlockedIncrement(&data->refCount);
        chars = other.chars;
    }
}

CString::~CString()
{
    Release(GetData());
}

CString& CString::operator=(const CString& other)
{
    if (chars == other.chars) {
        return *this;
    }
    CStringData* data = other.GetData();
    if (data == _atltmpDataNil) {
        AssignCopy(0, "");
        return *this;
    }
    // Different chars mean different blocks: counting first, then releasing, is safe.
    InterlockedIncrement(&data->refCount);
    Release(GetData());
    chars = other.chars;
    return *this;
}

CString& CString::operator=(const char* s)
{
    if (s == nullptr) {
        AssignCopy(0, "");
        return *this;
    }
    const size_t length = strlen(s);
    if (length >= static_cast<size_t>(kLengthLimit)) {
        Release();
    } else {
        AssignCopy(static_cast<int>(length), s);
    }
    return *this;
}

CString& CString::operator=(const unsigned char* s)
{
    return *this = reinterpret_cast<const char*>(s);
}

CString& CString::operator=(char ch)
{
    CStringData* data = GetData();
    if (!(IsPrivate(data) && data->allocLength >= 1)) {
        Release();
        data = NewBlock(1);
        chars = data->data();
    }
    chars[0] = ch;
    chars[1] = '\0';
    data->dataLength = 1;
    return *this;
}

CString& CString::operator=(const wchar_t* ws)
{
    if (ws == nullptr) {
        AssignCopy(0, "");
        return *this;
    }
    // Two bytes are reserved per wide character here, one in the constructor.
    AssignWide(ws, 2 * static_cast<int64_t>(wcslen(ws)));
    return *this;
}

void CString::AssignWide(const wchar_t* ws, int64_t reserved)
{
    if (!WithinLimit(reserved) || !AllocBeforeWrite(static_cast<int>(reserved))) {
        Release();
        return;
    }
    // wcstombs stores whole characters only and leaves the text unterminated when the
    // limit ends it; a failed conversion may leave partial bytes: both are terminated here.
    const size_t converted = wcstombs(chars, ws, static_cast<size_t>(reserved));
    if (converted == static_cast<size_t>(-1)) {
        chars[0] = '\0';
    } else {
        chars[converted] = '\0';
    }
    GetData()->dataLength = static_cast<int>(strlen(chars));
    if (GetData()->dataLength == 0) {
        Release();
    }
}

void CString::Init()
{
    chars = _atltmpPchNil;
}

const CString& CString::GetEmptyString()
{
    static const CString empty;
    return empty;
}

// ---- buffer management ----

CStringData* CString::GetData() const
{
    return reinterpret_cast<CStringData*>(chars) - 1;
}

char* CString::GetBuffer(int n)
{
    if (n < 0) {
        return nullptr;
    }
    CStringData* old = GetData();
    if (IsPrivate(old) && old->allocLength >= n) {
        return chars;
    }
    const int length = n > old->dataLength ? n : old->dataLength;
    if (!WithinLimit(length)) {
        return nullptr;
    }
    CStringData* data = NewBlock(length);
    memcpy(data->data(), chars, static_cast<size_t>(old->dataLength) + 1);
    data->dataLength = old->dataLength;
    chars = data->data();
    Release(old);
    return chars;
}

void CString::ReleaseBuffer(int n)
{
    CopyBeforeWrite();
    CStringData* data = GetData();
    if (data == _atltmpDataNil) {
        return;
    }
    // A length outside the block is a caller error; it is kept within the block.
    if (n == -1) {
        n = static_cast<int>(strnlen(chars, static_cast<size_t>(data->allocLength)));
    } else if (n < 0) {
        n = 0;
    } else if (n > data->allocLength) {
        n = data->allocLength;
    }
    data->dataLength = n;
    chars[n] = '\0';
}

char* CString::GetBufferSetLength(int n)
{
    if (GetBuffer(n) == nullptr) {
        return nullptr;
    }
    if (GetData() != _atltmpDataNil) {
        GetData()->dataLength = n;
        chars[n] = '\0';
    }
    return chars;
}

bool CString::AllocBuffer(int n)
{
    if (!WithinLimit(n)) {
        return false;
    }
    chars = NewBlock(n)->data();
    return true;
}

bool CString::AllocBeforeWrite(int n)
{
    CStringData* data = GetData();
    if (IsPrivate(data) && data->allocLength >= n) {
        return true;
    }
    Release();
    return AllocBuffer(n);
}

void CString::AllocCopy(CString& dest, int copyLen, int copyIndex, int extraLen) const
{
    const int64_t length = static_cast<int64_t>(copyLen) + extraLen;
    if (length == 0) {
        dest.Init();
        return;
    }
    if (copyLen < 0 || !WithinLimit(length) || !dest.AllocBuffer(static_cast<int>(length))) {
        return;
    }
    memcpy(dest.chars, chars + copyIndex, static_cast<size_t>(copyLen));
}

void CString::AssignCopy(int n, const char* src)
{
    CStringData* data = GetData();
    if (n <= 0 || src == nullptr) {
        // An empty text: a private block keeps its capacity, a shared one is released.
        if (data != _atltmpDataNil && IsPrivate(data)) {
            data->dataLength = 0;
            chars[0] = '\0';
        } else {
            Release();
        }
        return;
    }
    if (IsPrivate(data) && data->allocLength >= n) {
        memmove(chars, src, static_cast<size_t>(n));  // src may lie in this block
    } else {
        // The new block is filled before the old one is released: src may point into it.
        if (!WithinLimit(n)) {
            Release();
            return;
        }
        data = NewBlock(n);
        memcpy(data->data(), src, static_cast<size_t>(n));
        Release();
        chars = data->data();
    }
    data->dataLength = n;
    chars[n] = '\0';
}

bool CString::ConcatCopy(int firstLen, const char* first, int secondLen, const char* second)
{
    if (firstLen < 0 || secondLen < 0) {
        return false;
    }
    const int64_t length = static_cast<int64_t>(firstLen) + secondLen;
    if (length == 0) {
        return true;
    }
    if (!WithinLimit(length)) {
        return false;
    }
    CStringData* data = NewBlock(static_cast<int>(length));
    memcpy(data->data(), first, static_cast<size_t>(firstLen));
    memcpy(data->data() + firstLen, second, static_cast<size_t>(secondLen));
    chars = data->data();
    return true;
}

void CString::ConcatInPlace(int n, const char* s)
{
    if (n <= 0 || s == nullptr) {
        return;
    }
    CStringData* old = GetData();
    const int64_t length = static_cast<int64_t>(old->dataLength) + n;
    if (IsPrivate(old) && length <= old->allocLength) {
        memmove(chars + old->dataLength, s, static_cast<size_t>(n));
        old->dataLength = static_cast<int>(length);
        chars[length] = '\0';
        return;
    }
    if (!WithinLimit(length)) {
        return;
    }
    // The old block is released only after the copy: s may point into it.
    CStringData* data = NewBlock(static_cast<int>(length));
    memcpy(data->data(), chars, static_cast<size_t>(old->dataLength));
    memcpy(data->data() + old->dataLength, s, static_cast<size_t>(n));
    chars = data->data();
    Release(old);
}

void CString::CopyBeforeWrite()
{
    CStringData* old = GetData();
    if (LoadRefCount(old) <= 1) {
        return;
    }
    if (old->dataLength == 0) {
        Release();
        return;
    }
    CStringData* data = NewBlock(old->dataLength);
    memcpy(data->data(), chars, static_cast<size_t>(old->dataLength) + 1);
    chars = data->data();
    Release(old);
}

void CString::Release()
{
    Release(GetData());
    Init();
}

void CString::Release(CStringData* data)
{
    if (data == _atltmpDataNil || LoadRefCount(data) == 0) {
        return;
    }
    if (InterlockedDecrement(&data->refCount) <= 0) {
        data->~CStringData();
        delete[] reinterpret_cast<char*>(data);
    }
}

bool CString::IsInBlock(const char* p) const
{
    if (GetData() == _atltmpDataNil) {
        return false;  // never written
    }
    // Compared as integers: the pointers may belong to unrelated objects.
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(chars);
    return address >= begin && address <= begin + static_cast<uintptr_t>(GetData()->allocLength);
}

// ---- queries ----

int CString::GetLength() const { return GetData()->dataLength; }
bool CString::IsEmpty() const { return GetData()->dataLength == 0; }
const char* CString::GetString() const { return chars; }
CString::operator char const*() const { return chars; }
char CString::operator[](int i) const { return chars[i]; }

int CString::Compare(const char* s) const
{
    return strcmp(chars, s == nullptr ? "" : s);
}

int CString::CompareNoCase(const char* s) const
{
    // The same result as strcmp of two ASCII-upper-cased copies, without the copies.
    const unsigned char* a = reinterpret_cast<const unsigned char*>(chars);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(s == nullptr ? "" : s);
    for (;; ++a, ++b) {
        const unsigned char ua = static_cast<unsigned char>(AsciiUpper(static_cast<char>(*a)));
        const unsigned char ub = static_cast<unsigned char>(AsciiUpper(static_cast<char>(*b)));
        if (ua != ub || ua == '\0') {
            return static_cast<int>(ua) - static_cast<int>(ub);
        }
    }
}

int CString::Find(const char* s) const
{
    if (s == nullptr) {
        return -1;
    }
    const char* found = strstr(chars, s);
    return found == nullptr ? -1 : static_cast<int>(found - chars);
}

int CString::Find(char ch) const
{
    const char* found = strchr(chars, ch);
    return found == nullptr ? -1 : static_cast<int>(found - chars);
}

int CString::ReverseFind(char ch) const
{
    const char* found = strrchr(chars, ch);
    return found == nullptr ? -1 : static_cast<int>(found - chars);
}

// ---- extraction ----

CString CString::Left(int n) const
{
    CString dest;
    const int length = GetLength();
    if (n > 0) {
        AllocCopy(dest, n < length ? n : length, 0, 0);
    }
    return dest;
}

CString CString::Right(int n) const
{
    CString dest;
    const int length = GetLength();
    if (n > 0) {
        const int count = n < length ? n : length;
        AllocCopy(dest, count, length - count, 0);
    }
    return dest;
}

CString CString::Mid(int first, int count) const
{
    CString dest;
    const int length = GetLength();
    first = first < 0 ? 0 : first;
    count = count < 0 ? 0 : count;
    if (first <= length) {
        const int rest = length - first;
        AllocCopy(dest, count < rest ? count : rest, first, 0);
    }
    return dest;
}

CString CString::Mid(int first) const
{
    return Mid(first, INT32_MAX);
}

// ---- changes ----

CString& CString::operator+=(const char* s)
{
    if (s != nullptr) {
        const size_t length = strlen(s);
        if (length < static_cast<size_t>(kLengthLimit)) {
            ConcatInPlace(static_cast<int>(length), s);
        }
    }
    return *this;
}

CString& CString::operator+=(char ch)
{
    ConcatInPlace(1, &ch);
    return *this;
}

CString& CString::operator+=(const CString& s)
{
    ConcatInPlace(s.GetLength(), s.chars);
    return *this;
}

void CString::Empty()
{
    if (GetData()->dataLength != 0) {
        Release();
    }
}

void CString::MakeUpper()
{
    CopyBeforeWrite();
    const int length = GetLength();
    for (int i = 0; i < length; ++i) {
        chars[i] = AsciiUpper(chars[i]);
    }
}

void CString::MakeLower()
{
    CopyBeforeWrite();
    const int length = GetLength();
    for (int i = 0; i < length; ++i) {
        chars[i] = static_cast<char>(tolower(static_cast<unsigned char>(chars[i])));
    }
}

int CString::Replace(char oldCh, char newCh)
{
    if (oldCh == '\0') {
        return 0;
    }
    CopyBeforeWrite();
    int count = 0;
    const int length = GetLength();
    // Each byte is tested before it is replaced: a newCh of NUL does not end the scan.
    for (int i = 0; i < length && chars[i] != '\0'; ++i) {
        if (chars[i] == oldCh) {
            chars[i] = newCh;
            ++count;
        }
    }
    return count;
}

int CString::Replace(const char* oldText, const char* newText)
{
    if (oldText == nullptr || newText == nullptr || *oldText == '\0') {
        return 0;
    }
    if (IsInBlock(oldText) || IsInBlock(newText)) {
        // Arguments inside the text would move under the replacement: use copies.
        const CString oldCopy(oldText);
        const CString newCopy(newText);
        return Replace(oldCopy.chars, newCopy.chars);
    }
    const size_t oldLength = strlen(oldText);
    const size_t newLength = strlen(newText);

    // Counting pass over the NUL-separated segments of the text.
    int64_t count = 0;
    const char* end = chars + GetLength();
    for (const char* start = chars; start < end; start += strlen(start) + 1) {
        for (const char* target = strstr(start, oldText); target != nullptr;
             target = strstr(target + oldLength, oldText)) {
            ++count;
        }
    }
    if (count == 0) {
        return 0;
    }

    CopyBeforeWrite();
    const int64_t finalLength = GetLength() + count * (static_cast<int64_t>(newLength) -
                                                       static_cast<int64_t>(oldLength));
    if (finalLength >= kLengthLimit) {
        return -1;
    }
    CStringData* data = GetData();
    if (data->allocLength < finalLength) {
        CStringData* grown = NewBlock(static_cast<int>(finalLength));
        memcpy(grown->data(), chars, static_cast<size_t>(data->dataLength) + 1);
        grown->dataLength = data->dataLength;
        chars = grown->data();
        Release(data);
        data = grown;
    }

    // Replacement pass over the same segments. The end follows the current length, so
    // segments moved by a longer replacement are still visited.
    int64_t length = data->dataLength;
    for (char* start = chars; start < chars + length; start += strlen(start) + 1) {
        for (char* target = strstr(start, oldText); target != nullptr;
             target = strstr(start, oldText)) {
            const size_t rest = static_cast<size_t>(length - (target - chars)) - oldLength;
            memmove(target + newLength, target + oldLength, rest);
            memcpy(target, newText, newLength);
            start = target + newLength;
            start[rest] = '\0';
            length += static_cast<int64_t>(newLength) - static_cast<int64_t>(oldLength);
        }
    }
    data->dataLength = static_cast<int>(finalLength);
    return static_cast<int>(count);
}

int CString::Insert(int index, char ch)
{
    return InsertBytes(index, &ch, 1);
}

int CString::Insert(int index, const char* s)
{
    if (s == nullptr || *s == '\0') {
        return GetLength();
    }
    if (IsInBlock(s)) {
        const CString copy(s);  // the text moves under the insertion
        return InsertBytes(index, copy.chars, strlen(copy.chars));
    }
    return InsertBytes(index, s, strlen(s));
}

int CString::InsertBytes(int index, const char* s, size_t n)
{
    CopyBeforeWrite();
    CStringData* data = GetData();
    const int64_t length = static_cast<int64_t>(data->dataLength) + static_cast<int64_t>(n);
    if (length >= kLengthLimit) {
        return -1;
    }
    if (data->allocLength < length) {
        CStringData* grown = NewBlock(static_cast<int>(length));
        memcpy(grown->data(), chars, static_cast<size_t>(data->dataLength) + 1);
        grown->dataLength = data->dataLength;
        chars = grown->data();
        Release(data);
        data = grown;
    }
    const int oldLength = data->dataLength;
    index = index < 0 ? 0 : (index > oldLength ? oldLength : index);
    memmove(chars + index + n, chars + index, static_cast<size_t>(oldLength - index) + 1);
    memcpy(chars + index, s, n);
    data->dataLength = static_cast<int>(length);
    return data->dataLength;
}

int CString::Delete(int index, int count)
{
    const int oldLength = GetLength();
    index = index < 0 ? 0 : index;
    if (count <= 0 || index >= oldLength) {
        return oldLength;
    }
    count = count > oldLength - index ? oldLength - index : count;
    CopyBeforeWrite();
    memmove(chars + index, chars + index + count, static_cast<size_t>(oldLength - index - count) + 1);
    GetData()->dataLength = oldLength - count;
    return oldLength;
}

void CString::Format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    FormatV(fmt, args);
    va_end(args);
}

void CString::FormatV(const char* fmt, va_list args)
{
    if (fmt == nullptr) {
        return;
    }
    char* result = nullptr;
    const int written = vasprintf(&result, fmt, args);
    if (written < 0) {
        return;  // on failure the buffer is undefined and not ours to free
    }
    // An empty result makes the text empty, as any other result replaces it.
    AssignCopy(static_cast<int>(strlen(result)), result);
    free(result);
}
