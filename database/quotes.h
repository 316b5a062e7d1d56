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
};

// Rules for Jet: texts single-quoted, names in brackets.
extern const QuoteRule jetQuoteRules[3];
// Rules for SQL Server: texts as Unicode literals, each part of a dotted name bracketed.
extern const QuoteRule msSqlQuoteRules[3];

// One pass from left to right; a section still open at the end stays open.
std::wstring translateQuotes(const std::wstring& statement, const QuoteRule* rules, size_t ruleCount);

// translateQuotes with the back end's rules, then every pair of double
// quotes collapsed into one.
std::wstring prepareJetStatement(const std::wstring& statement);
std::wstring prepareMSSQLStatement(const std::wstring& statement);
