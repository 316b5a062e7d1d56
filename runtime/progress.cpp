#include "runtime/progress.h"

namespace progress {

namespace {
thread_local Observer* current = nullptr;
}

Scope::Scope(Observer& observer) : previous_(current) { current = &observer; }

Scope::~Scope() { current = previous_; }

void note(Step step, const std::wstring& item, unsigned long long bytes) {
    if (current) current->step(step, item, bytes);
}

}  // namespace progress
