// Reads a whole schema or data document before an import changes anything
// for it, so that a missing, unreadable, malformed or mistaken file stops the
// import while the target is still as it was.
#pragma once

#include <string>

#include "runtime/exceptions.h"

enum class DocumentKind { Schema, Data };

// Throws a vexception at location naming the file and what is wrong with it,
// with the line and column of malformed XML.
void checkImportDocument(const std::wstring& path, DocumentKind kind, ErrorLocation location);
