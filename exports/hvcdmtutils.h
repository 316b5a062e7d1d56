/* hvcdmtutils.dll: the exported interface for callers.
 *
 * Strings passed in are narrow (the ANSI code page; UTF-8 for the IDN
 * calls). A returned string is a new block the caller releases with
 * HVC_FreeString. On failure a call returns its failure value and
 * HVC_GetLastHvcDmtError gives the text of the error until the next call
 * that clears it.
 *
 * The exports carry MSVC-decorated names. Bind them with GetProcAddress
 * and the HVC_NAME_* strings below (any compiler), or, from a 32-bit MSVC
 * C++ caller, declare them as below and link with the import library,
 * whose symbols are exactly those decorated names.
 */
#ifndef HVCDMTUTILS_H
#define HVCDMTUTILS_H

#ifdef __cplusplus
extern "C" {
#endif

#define HVC_NAME_Base64Decode "?HVC_Base64Decode@@YAPBDPBD@Z"
#define HVC_NAME_FreeString "?HVC_FreeString@@YAHPBD@Z"
#define HVC_NAME_GetLastHvcDmtError "?HVC_GetLastHvcDmtError@@YAPBDXZ"
#define HVC_NAME_idn_toAscii "?HVC_idn_toAscii@@YAPBDPBD@Z"
#define HVC_NAME_idn_toUtf8 "?HVC_idn_toUtf8@@YAPBDPBD@Z"

/* Decodes Base64, skipping every byte outside the alphabet; never fails. */
typedef const char*(__cdecl* HVC_Base64Decode_t)(const char* text);
/* Releases a returned string; 0, or -1 on failure. */
typedef int(__cdecl* HVC_FreeString_t)(const char* block);
/* The last error's text, or null. Not a new block: do not free it. */
typedef const char*(__cdecl* HVC_GetLastHvcDmtError_t)(void);
/* UTF-8 domain name to its ASCII (xn--) form; null on failure. */
typedef const char*(__cdecl* HVC_idn_toAscii_t)(const char* name);
/* ASCII (xn--) domain name to UTF-8; null on failure. */
typedef const char*(__cdecl* HVC_idn_toUtf8_t)(const char* name);

#ifdef __cplusplus
}
#endif

#if defined(_MSC_VER) && defined(_M_IX86) && defined(__cplusplus)
/* C++ linkage on purpose: 32-bit MSVC decorates these exactly as exported. */
__declspec(dllimport) const char* HVC_Base64Decode(const char* text);
__declspec(dllimport) int HVC_FreeString(const char* block);
__declspec(dllimport) const char* HVC_GetLastHvcDmtError();
__declspec(dllimport) const char* HVC_idn_toAscii(const char* name);
__declspec(dllimport) const char* HVC_idn_toUtf8(const char* name);
#endif

#endif
