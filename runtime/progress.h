// Progress of a long walk (tree removal or move, a table's rows), told to
// an observer that the calling thread installed; nothing when none is.
#pragma once

#include <string>

namespace progress {

enum class Step {
    Remove,  // an entry of a tree, just before it is removed (path)
    Move,    // an entry of a tree, just before it is moved (path)
    Row,     // a row of a table, written or about to be sent (table, bytes)
};

class Observer {
public:
    virtual void step(Step step, const std::wstring& item, unsigned long long bytes) = 0;

protected:
    ~Observer() = default;
};

// Installs the observer on the calling thread for the scope's lifetime.
class Scope {
public:
    explicit Scope(Observer& observer);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Observer* previous_;
};

// Tells the calling thread's observer, if it has one; an observer that
// throws stops the walk with its exception.
void note(Step step, const std::wstring& item, unsigned long long bytes = 0);

}  // namespace progress
