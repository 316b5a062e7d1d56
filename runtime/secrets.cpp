#include "runtime/secrets.h"

#include <algorithm>

namespace {

// Innermost scope of the thread; scopes nest on the thread's stack.
thread_local const SecretScope* innermost = nullptr;

const wchar_t mask[] = L"****";

void replaceAll(std::wstring& text, const std::wstring& secret) {
    for (size_t at = text.find(secret); at != std::wstring::npos; at = text.find(secret, at + 4))
        text.replace(at, secret.size(), mask);
}

}  // namespace

SecretScope::SecretScope(std::initializer_list<std::wstring> secrets) : outer_(innermost) {
    for (const std::wstring& secret : secrets)
        if (!secret.empty()) secrets_.push_back(secret);
    // An escaped form holds the plain one: mask the longer text whole first.
    std::sort(secrets_.begin(), secrets_.end(),
              [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
    innermost = this;
}

SecretScope::~SecretScope() {
    innermost = outer_;
    for (std::wstring& secret : secrets_) wipe(secret);
}

std::wstring maskSecrets(const std::wstring& text) {
    std::wstring masked = text;
    for (const SecretScope* scope = innermost; scope; scope = scope->outer_)
        for (const std::wstring& secret : scope->secrets_) replaceAll(masked, secret);
    return masked;
}

void maskSecrets(vexception& error) {
    if (!innermost) return;
    error.editTexts([](std::wstring& text) {
        std::wstring masked = maskSecrets(text);
        wipe(text);
        text = std::move(masked);
    });
}
