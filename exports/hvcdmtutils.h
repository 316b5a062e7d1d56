/* hvcdmtutils.dll: the exported interface for callers.
 *
 * Strings passed in are narrow (the ANSI code page; UTF-8 for the IDN
 * calls). A returned string is a new block the caller releases with
 * HVC_FreeString. On failure a call returns its failure value and
 * HVC_GetLastHvcDmtError gives the text of the error until the next call
 * that clears it.
 *
 * The exports carry decorated names. Bind them with GetProcAddress and the
 * HVC_NAME_* strings below, or link with libhvcdmtutils.a, whose
 * declarations below map the plain names onto the decorated ones.
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

#if defined(__GNUC__) && !defined(HVC_NO_IMPORT_DECLARATIONS)
#define HVC_IMPORT(name) __asm__(HVC_USER_LABEL_PREFIX "__imp_" name)
#if defined(__i386__)
#define HVC_USER_LABEL_PREFIX "_"
#else
#define HVC_USER_LABEL_PREFIX ""
#endif
extern HVC_Base64Decode_t HVC_Base64Decode_ptr HVC_IMPORT(HVC_NAME_Base64Decode);
extern HVC_FreeString_t HVC_FreeString_ptr HVC_IMPORT(HVC_NAME_FreeString);
extern HVC_GetLastHvcDmtError_t HVC_GetLastHvcDmtError_ptr HVC_IMPORT(HVC_NAME_GetLastHvcDmtError);
extern HVC_idn_toAscii_t HVC_idn_toAscii_ptr HVC_IMPORT(HVC_NAME_idn_toAscii);
extern HVC_idn_toUtf8_t HVC_idn_toUtf8_ptr HVC_IMPORT(HVC_NAME_idn_toUtf8);
#define HVC_Base64Decode (*HVC_Base64Decode_ptr)
#define HVC_FreeString (*HVC_FreeString_ptr)
#define HVC_GetLastHvcDmtError (*HVC_GetLastHvcDmtError_ptr)
#define HVC_idn_toAscii (*HVC_idn_toAscii_ptr)
#define HVC_idn_toUtf8 (*HVC_idn_toUtf8_ptr)
#endif

#ifdef __cplusplus
}
#endif

#endif
