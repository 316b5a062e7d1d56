#include "idn/idn.h"

#include <idn-free.h>
#include <idna.h>

#include "runtime/exportframe.h"
#include "runtime/owners.h"

namespace idn {
namespace {

void freeIdnBlock(char* block) { idn_free(block); }
using UniqueIdnBlock = UniqueAny<char*, &freeIdnBlock>;

const wchar_t* asciiErrorPrefix(int code) {
    switch (code) {
    case IDNA_STRINGPREP_ERROR: return L"Error during string preparation at convert: (";
    case IDNA_PUNYCODE_ERROR: return L"Error during punycode operation at convert: (";
    case IDNA_CONTAINS_NON_LDH: return L"String contains non-LDH ASCII characters at convert: (";
    case IDNA_CONTAINS_MINUS: return L"String contains a minus at convert: (";
    case IDNA_INVALID_LENGTH: return L"Invalid domain name format: (";
    case IDNA_NO_ACE_PREFIX: return L"The string does not contain the ACE prefix at convert: (";
    case IDNA_ROUNDTRIP_VERIFY_ERROR: return L"Failed to verify result at convert: (";
    case IDNA_ICONV_ERROR: return L"Could not convert string in locale encoding at convert: (";
    case IDNA_MALLOC_ERROR: return L"Memory allocation failed at convert: (";
    default: return L"Unable to convert to ascii from (";
    }
}

// Copies libidn's block into a string and releases it.
std::string takeOutput(char* output) {
    UniqueIdnBlock owned(output);
    return std::string(output);
}

}  // namespace

char* toAsciiBlock(const char* input, bool allowUnassigned, bool useStd3AsciiRules) {
    int flags = (allowUnassigned ? IDNA_ALLOW_UNASSIGNED : 0) | (useStd3AsciiRules ? IDNA_USE_STD3_ASCII_RULES : 0);
    char* output = nullptr;
    int code = idna_to_ascii_8z(input, &output, flags);
    UniqueIdnBlock owned(output);
    if (code == IDNA_SUCCESS || code == IDNA_CONTAINS_ACE_PREFIX) {
        if (output) return owned.release();
        code = -1;  // success without output
    }
    throw vexception(asciiErrorPrefix(code) + wstr(input, CP_UTF8) + L").");
}

char* toUtf8Block(const char* input, bool, bool) {
    char* output = nullptr;
    int code = idna_to_unicode_8z8z(input, &output, 0);
    UniqueIdnBlock owned(output);
    if (code == IDNA_MALLOC_ERROR) throw vexception(L"Memory allocation failed at convert: (" + wstr(input, 0) + L").");
    if (!output) throw vexception(L"Unable to convert to UTF8 from (" + wstr(input, 0) + L").");
    return owned.release();
}

std::string toAscii(const std::string& input, bool allowUnassigned, bool useStd3AsciiRules) {
    return takeOutput(toAsciiBlock(input.c_str(), allowUnassigned, useStd3AsciiRules));
}

std::string toUtf8(const std::string& input, bool allowUnassigned, bool useStd3AsciiRules) {
    return takeOutput(toUtf8Block(input.c_str(), allowUnassigned, useStd3AsciiRules));
}

}  // namespace idn

// libidn allocates its result with the C runtime's malloc (idn_free is
// free), so its block is one that HVC_FreeString releases.
HVC_EXPORT const char* __cdecl HVC_idn_toAscii(const char* name) {
    return exportframe::boundary<const char*>(nullptr, exportframe::OnSuccess::ClearSlot, [&] {
        exportframe::RequiredText text(name, "name");
        return idn::toAsciiBlock(text.c_str(), false, false);
    });
}

HVC_EXPORT const char* __cdecl HVC_idn_toUtf8(const char* name) {
    return exportframe::boundary<const char*>(nullptr, exportframe::OnSuccess::ClearSlot, [&] {
        exportframe::RequiredText text(name, "name");
        return idn::toUtf8Block(text.c_str(), false, false);
    });
}
