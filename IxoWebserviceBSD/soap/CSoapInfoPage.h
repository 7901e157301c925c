// Small HTML table builder for the gateway's information fragments.
#ifndef IXO_CSOAP_INFO_PAGE_H
#define IXO_CSOAP_INFO_PAGE_H

#include <memory>

// printf formats of one table row (name, value) and of the table (name header,
// value header, all rows).
extern const char co_szPluginInfoRow[];
extern const char co_szPluginInfoPage[];

// A two-column table with a fixed number of rows. Names and values are
// HTML-escaped on the way in; the headers are the caller's fixed texts. Local to
// one call; not shared between threads.
class CSoapInfoPage {
public:
    // Headers longer than 254 characters are cut; a row list that cannot be
    // allocated leaves a page without rows.
    CSoapInfoPage(int maxRows, const char* nameHeader, const char* valueHeader);
    CSoapInfoPage(const CSoapInfoPage&) = delete;
    CSoapInfoPage& operator=(const CSoapInfoPage&) = delete;

    // Adds one row; its index, or -1 when the list is full or memory runs out.
    int AddProperty(const char* name, const char* value);
    // The table with every row added so far, owned by the caller (null when memory
    // runs out); the rows are consumed, so the page starts empty again.
    std::unique_ptr<char[]> GeneratePage();

private:
    int m_maxRows;
    int m_rowCount = 0;
    int m_rowsLength = 0;  // sum of the lengths of the row texts
    char m_nameHeader[255];
    char m_valueHeader[255];
    std::unique_ptr<std::unique_ptr<char[]>[]> m_rows;  // m_maxRows formatted rows
};

#endif  // IXO_CSOAP_INFO_PAGE_H
