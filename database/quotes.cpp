#include "database/quotes.h"

// A doubled back quote inside a name stands for one, and a bracket in it
// must not close the bracketed name it becomes.
const QuoteRule jetQuoteRules[4] = {
    {L'\'', L"'", L'\'', L"'", true, 0, nullptr, 0},
    {L'"', L"'", L'"', L"'", true, 0, nullptr, 0},
    {L'`', L"[", L'`', L"]", true, 0, L"`", L']'},
    {L'[', L"[", L']', L"]", true, 0, nullptr, 0},
};

const QuoteRule msSqlQuoteRules[4] = {
    {L'\'', L"N'", L'\'', L"'", true, 0, nullptr, 0},
    {L'"', L"N'", L'"', L"'", true, 0, nullptr, 0},
    {L'`', L"[", L'`', L"]", true, L'.', L"`", L']'},
    {L'[', L"[", L']', L"]", true, 0, nullptr, 0},
};

std::wstring translateQuotes(const std::wstring& statement, const QuoteRule* rules, size_t ruleCount) {
    std::wstring result;
    result.reserve(statement.size() + 16);
    const QuoteRule* current = nullptr;
    for (size_t i = 0; i < statement.size(); ++i) {
        wchar_t c = statement[i];
        if (!current) {
            for (size_t r = 0; r < ruleCount && !current; ++r)
                if (rules[r].open == c) current = &rules[r];
            if (current)
                result += current->openText;
            else
                result += c;
        } else if (current->separator != 0 && c == current->separator) {
            result += current->closeText;
            result += c;
            result += current->openText;
        } else if (c == current->close) {
            if (current->doubledEscape && i + 1 < statement.size() && statement[i + 1] == c) {
                if (current->doubledText) {
                    result += current->doubledText;
                } else {
                    result += c;
                    result += c;
                }
                ++i;
            } else {
                result += current->closeText;
                current = nullptr;
            }
        } else {
            if (c == current->doubledInside) result += c;
            result += c;
        }
    }
    return result;
}

namespace {

std::wstring collapseDoubleQuotes(std::wstring text) {
    size_t position = 0;
    while ((position = text.find(L"\"\"", position)) != std::wstring::npos) {
        text.erase(position, 1);
        ++position;
    }
    return text;
}

}  // namespace

std::wstring prepareJetStatement(const std::wstring& statement) {
    return collapseDoubleQuotes(translateQuotes(statement, jetQuoteRules, 4));
}

std::wstring prepareMSSQLStatement(const std::wstring& statement) {
    return collapseDoubleQuotes(translateQuotes(statement, msSqlQuoteRules, 4));
}

namespace {

std::wstring quotedWith(const std::wstring& name, wchar_t open, wchar_t close) {
    std::wstring quoted(1, open);
    for (wchar_t c : name) {
        if (c == close) quoted += c;
        quoted += c;
    }
    return quoted + close;
}

}  // namespace

std::wstring backQuoted(const std::wstring& name) { return quotedWith(name, L'`', L'`'); }

std::wstring bracketedName(const std::wstring& name) { return quotedWith(name, L'[', L']'); }
