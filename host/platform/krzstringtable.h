// The numbered wide-string store that stands in for a Windows string-table resource. A resource
// library exports one array named krzStringTable, ended by an entry whose text is null;
// LoadStringW looks strings up in it by number.
#pragma once

struct KRZStringTableEntry {
    unsigned int id;
    const wchar_t* text;
};

#define KRZ_STRING_TABLE_SYMBOL "krzStringTable"
