#include "CSoapInfoPage.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

const char co_szPluginInfoRow[] = "<tr><td width=\"20%%\">%s</td><td width=\"600\">%s</td></tr>";
const char co_szPluginInfoPage[] =
    "<table width=\"97%%\" id=\"table3\" height=\"50\"><tr vAlign=\"top\">"
    "<th align=\"left\" width=\"20%%\" style=\"vertical-align: top\">%s</th>"
    "<th align=\"left\" width=\"600\" style=\"vertical-align: top\">%s</th></tr>%s</table>";

namespace {

void CopyHeader(char (&target)[255], const char* header)
{
    target[0] = '\0';
    if (header != nullptr) {
        strncpy(target, header, sizeof(target) - 1);
    }
    target[sizeof(target) - 1] = '\0';
}

// Route names come from the device: keep them from being read as markup.
std::string HtmlEscape(const char* text)
{
    std::string escaped;
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        switch (*p) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += *p; break;
        }
    }
    return escaped;
}

}  // namespace

CSoapInfoPage::CSoapInfoPage(int maxRows, const char* nameHeader, const char* valueHeader)
    : m_maxRows(maxRows > 0 ? maxRows : 0)
{
    CopyHeader(m_nameHeader, nameHeader);
    CopyHeader(m_valueHeader, valueHeader);
    if (m_maxRows > 0) {
        m_rows.reset(new (std::nothrow) std::unique_ptr<char[]>[static_cast<size_t>(m_maxRows)]);
        if (!m_rows) {
            m_maxRows = 0;
        }
    }
}

int CSoapInfoPage::AddProperty(const char* name, const char* value)
{
    if (m_rowCount >= m_maxRows) {
        return -1;
    }
    const std::string safeName = HtmlEscape(name);
    const std::string safeValue = HtmlEscape(value);
    const size_t capacity = strlen(co_szPluginInfoRow) + safeName.size() + safeValue.size() + 1;
    std::unique_ptr<char[]> row(new (std::nothrow) char[capacity]);
    if (!row) {
        return -1;
    }
    const int length = snprintf(row.get(), capacity, co_szPluginInfoRow, safeName.c_str(),
                                safeValue.c_str());
    if (length < 0 || length > INT_MAX - m_rowsLength) {
        return -1;
    }
    const int index = m_rowCount;
    m_rows[index] = std::move(row);
    m_rowsLength += length;
    ++m_rowCount;
    return index;
}

std::unique_ptr<char[]> CSoapInfoPage::GeneratePage()
{
    const size_t rowsLength = static_cast<size_t>(m_rowsLength);
    std::unique_ptr<char[]> rows(new (std::nothrow) char[rowsLength + 1]);
    std::unique_ptr<char[]> page;
    if (rows) {
        char* end = rows.get();
        for (int i = 0; i < m_rowCount; ++i) {
            const size_t length = strlen(m_rows[i].get());
            memcpy(end, m_rows[i].get(), length);
            end += length;
            m_rows[i].reset();
        }
        *end = '\0';
        const size_t capacity = rowsLength + strlen(m_nameHeader) + strlen(m_valueHeader) +
                                strlen(co_szPluginInfoPage) + 1;
        page.reset(new (std::nothrow) char[capacity]);
        if (page) {
            snprintf(page.get(), capacity, co_szPluginInfoPage, m_nameHeader, m_valueHeader,
                     rows.get());
        }
    }
    for (int i = 0; i < m_rowCount; ++i) {
        m_rows[i].reset();
    }
    m_rowCount = 0;
    m_rowsLength = 0;
    return page;
}
