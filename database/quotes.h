// Quote translation of the MySQL dialect that every statement of the
// library is written in, for the ADO back ends.
#pragma once

#include <string>

// One kind of quoted section of a statement and what replaces its quotes.
struct QuoteRule {
    wchar_t open;
    const wchar_t* openText;
    wchar_t close;
    const wchar_t* closeText;
    // Inside the section, the close character written twice stands for itself.
    bool doubledEscape;
    // Inside the section this character closes it, is written and reopens it; 0 for none.
    wchar_t separator;
    // What a doubled close character inside the section is written as; null: the character twice.
    const wchar_t* doubledText;
    // Inside the section this character is written twice (a close bracket in a bracketed name); 0 for none.
    wchar_t doubledInside;
};

// Rules for Jet: texts single-quoted, names in brackets. A name already in
// brackets passes unchanged, quotes inside it included.
extern const QuoteRule jetQuoteRules[4];
// Rules for SQL Server: texts as Unicode literals, each part of a dotted name bracketed.
extern const QuoteRule msSqlQuoteRules[4];

// One pass from left to right; a section still open at the end stays open.
std::wstring translateQuotes(const std::wstring& statement, const QuoteRule* rules, size_t ruleCount);

// translateQuotes with the back end's rules, then every pair of double
// quotes collapsed into one.
std::wstring prepareJetStatement(const std::wstring& statement);
std::wstring prepareMSSQLStatement(const std::wstring& statement);

// A name as one quoted identifier that no character of it can end: in back
// quotes with back quotes doubled (MySQL), in brackets with ] doubled (Jet,
// SQL Server).
std::wstring backQuoted(const std::wstring& name);
std::wstring bracketedName(const std::wstring& name);
