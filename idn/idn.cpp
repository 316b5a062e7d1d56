#include "idn/idn.h"

#include <idn-free.h>
#include <idna.h>

#include "runtime/exportframe.h"

namespace idn {
namespace {

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

// Copies libidn's buffer and releases it with libidn's own allocator.
std::string takeOutput(char* output) {
    std::string result(output);
    idn_free(output);
    return result;
}

}  // namespace

std::string toAscii(const std::string& input, bool allowUnassigned, bool useStd3AsciiRules) {
    int flags = (allowUnassigned ? IDNA_ALLOW_UNASSIGNED : 0) | (useStd3AsciiRules ? IDNA_USE_STD3_ASCII_RULES : 0);
    char* output = nullptr;
    int code = idna_to_ascii_8z(input.c_str(), &output, flags);
    if (code == IDNA_SUCCESS || code == IDNA_CONTAINS_ACE_PREFIX) {
        if (output) return takeOutput(output);
        code = -1;  // success without output
    }
    if (output) idn_free(output);
    throw vexception(asciiErrorPrefix(code) + wstr(input, CP_UTF8) + L").");
}

std::string toUtf8(const std::string& input, bool, bool) {
    char* output = nullptr;
    int code = idna_to_unicode_8z8z(input.c_str(), &output, 0);
    if (code == IDNA_MALLOC_ERROR) {
        if (output) idn_free(output);
        throw vexception(L"Memory allocation failed at convert: (" + wstr(input, 0) + L").");
    }
    if (!output) throw vexception(L"Unable to convert to UTF8 from (" + wstr(input, 0) + L").");
    return takeOutput(output);
}

}  // namespace idn

HVC_EXPORT const char* __cdecl HVC_idn_toAscii(const char* name) {
    return exportframe::boundary<const char*>(nullptr, exportframe::OnSuccess::ClearSlot, [&] {
        std::string result = idn::toAscii(exportframe::required(name, "name"), false, false);
        return exportframe::newString(result);
    });
}

HVC_EXPORT const char* __cdecl HVC_idn_toUtf8(const char* name) {
    return exportframe::boundary<const char*>(nullptr, exportframe::OnSuccess::ClearSlot, [&] {
        std::string result = idn::toUtf8(exportframe::required(name, "name"), false, false);
        return exportframe::newString(result);
    });
}
