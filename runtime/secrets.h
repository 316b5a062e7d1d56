// Secrets the library itself puts into statements (passwords). While a
// SecretScope lives on a thread, whatever that thread logs shows them
// masked, and a vexception that leaves withSecrets() carries them masked, so
// they reach neither the log nor an error text nor the last-error slot.
// Buffers that held a secret are wiped before they are freed.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/comerror.h"
#include "runtime/exceptions.h"

class SecretScope {
public:
    // Empty texts are ignored; each text is masked wherever it stands.
    explicit SecretScope(std::initializer_list<std::wstring> secrets);
    ~SecretScope();
    SecretScope(const SecretScope&) = delete;
    SecretScope& operator=(const SecretScope&) = delete;

private:
    friend std::wstring maskSecrets(const std::wstring& text);
    std::vector<std::wstring> secrets_;
    const SecretScope* outer_;
};

// The text with every secret of this thread's scopes replaced by "****".
std::wstring maskSecrets(const std::wstring& text);
// Masks an exception's message and location texts in place.
void maskSecrets(vexception& error);

// Runs body under a SecretScope; a vexception or COM error leaving it is masked first.
template <class Body>
auto withSecrets(std::initializer_list<std::wstring> secrets, Body&& body) -> decltype(body()) {
    SecretScope scope(secrets);
    try {
        return body();
    } catch (vexception& e) {
        maskSecrets(e);
        throw;
    } catch (const ComError& e) {
        throw ComError(e.error(), maskSecrets(e.description()));
    }
}

// Zeroes the whole buffer of the string (its spare capacity too) and empties it.
template <class Char>
void wipe(std::basic_string<Char>& text) {
    text.resize(text.capacity());
    if (!text.empty()) SecureZeroMemory(&text[0], text.size() * sizeof(Char));
    text.clear();
}

// A string that is wiped when it goes.
template <class Char>
struct BasicSecretText : std::basic_string<Char> {
    using std::basic_string<Char>::basic_string;
    using std::basic_string<Char>::operator=;
    BasicSecretText(const std::basic_string<Char>& text) : std::basic_string<Char>(text) {}
    BasicSecretText(std::basic_string<Char>&& text) : std::basic_string<Char>(std::move(text)) {}
    BasicSecretText(const BasicSecretText&) = default;
    BasicSecretText(BasicSecretText&&) = default;
    BasicSecretText& operator=(const BasicSecretText&) = default;
    BasicSecretText& operator=(BasicSecretText&&) = default;
    ~BasicSecretText() { wipe<Char>(*this); }
};
using SecretText = BasicSecretText<wchar_t>;

// Lines (statements that carry a password) wiped when they go.
struct SecretLines : std::vector<std::wstring> {
    SecretLines(std::vector<std::wstring>&& lines) : std::vector<std::wstring>(std::move(lines)) {}
    SecretLines(const SecretLines&) = delete;
    SecretLines& operator=(const SecretLines&) = delete;
    ~SecretLines() {
        for (std::wstring& line : *this) wipe(line);
    }
};
using NarrowSecretText = BasicSecretText<char>;
