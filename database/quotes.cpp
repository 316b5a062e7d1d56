#include "database/quotes.h"

const QuoteRule jetQuoteRules[3] = {
    {L'\'', L"'", L'\'', L"'", true, 0},
    {L'"', L"'", L'"', L"'", true, 0},
    {L'`', L"[", L'`', L"]", false, 0},
};

const QuoteRule msSqlQuoteRules[3] = {
    {L'\'', L"N'", L'\'', L"'", true, 0},
    {L'"', L"N'", L'"', L"'", true, 0},
    {L'`', L"[", L'`', L"]", false, L'.'},
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
                result += c;
                result += c;
                ++i;
            } else {
                result += current->closeText;
                current = nullptr;
            }
        } else {
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
    return collapseDoubleQuotes(translateQuotes(statement, jetQuoteRules, 3));
}

std::wstring prepareMSSQLStatement(const std::wstring& statement) {
    return collapseDoubleQuotes(translateQuotes(statement, msSqlQuoteRules, 3));
}
