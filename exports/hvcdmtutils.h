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
#define HVC_NAME_GetParam "?HVC_GetParam@@YAPBDPBD@Z"
#define HVC_NAME_Execute "?HVC_Execute@@YAKPBD00K0PAPBD10@Z"
#define HVC_NAME_ExecuteDb "?HVC_ExecuteDb@@YAXPBDPAJ@Z"
#define HVC_NAME_QueryDbValue "?HVC_QueryDbValue@@YAPBDPBD@Z"
#define HVC_NAME_getPassword "?HVC_getPassword@@YAPBDXZ"
#define HVC_NAME_getOrvexDbConnectionInfo \
    "?HVC_getOrvexDbConnectionInfo@@YAXAAV?$basic_string@DU?$char_traits@D@std@@V?$allocator@D@2@@std@@0000@Z"
#define HVC_NAME_idn_toAscii "?HVC_idn_toAscii@@YAPBDPBD@Z"
#define HVC_NAME_idn_toUtf8 "?HVC_idn_toUtf8@@YAPBDPBD@Z"
#define HVC_NAME_RemoveDirectoryTree "?HVC_RemoveDirectoryTree@@YAHPBDH@Z"
#define HVC_NAME_createDirectory "?HVC_createDirectory@@YAHPBD@Z"
#define HVC_NAME_createNestedDirectory "?HVC_createNestedDirectory@@YAHPBD@Z"
#define HVC_NAME_renameDirectory "?HVC_renameDirectory@@YAHPBD0@Z"

/* Decodes Base64, skipping every byte outside the alphabet; never fails. */
typedef const char*(__cdecl* HVC_Base64Decode_t)(const char* text);
/* Releases a returned string; 0, or -1 on failure. */
typedef int(__cdecl* HVC_FreeString_t)(const char* block);
/* The last error's text, or null. Not a new block: do not free it. */
typedef const char*(__cdecl* HVC_GetLastHvcDmtError_t)(void);
/* A named parameter of the panel from its management service; null on failure. */
typedef const char*(__cdecl* HVC_GetParam_t)(const char* name);
/* Runs a command line as an account ("guest", "root", "system" in any case,
 * or an account name) through the panel's run-as service, in directory
 * (null: the service's choice), with input on its standard input (null or
 * "": none) and environment ("NAME=VALUE" lines separated by line feeds,
 * added to the caller's user environment; an empty line ends the list).
 * Returns the child's exit code, with everything it wrote to standard output
 * and standard error in *output and *errors (when not null; up to a first
 * zero byte); 0xFFFFFFFF on failure, leaving *output and *errors alone.
 * reserved is not used. */
typedef unsigned long(__cdecl* HVC_Execute_t)(const char* user, const char* command, const char* directory,
                                              unsigned long reserved, const char* input, const char** output,
                                              const char** errors, const char* environment);
/* The panel database (a new connection per call). HVC_QueryDbValue: the
 * first column of the first row ("" for NULL or empty); null on failure,
 * and also when no row came, which leaves the error slot empty. */
typedef const char*(__cdecl* HVC_QueryDbValue_t)(const char* query);
/* Runs a statement; a non-null lastId receives the generated identifier's
 * low 32 bits. Failure shows only in the error slot (lastId is not written). */
typedef void(__cdecl* HVC_ExecuteDb_t)(const char* statement, long* lastId);
/* The database administrator's password; null on failure. */
typedef const char*(__cdecl* HVC_getPassword_t)(void);
/* UTF-8 domain name to its ASCII (xn--) form; null on failure. */
typedef const char*(__cdecl* HVC_idn_toAscii_t)(const char* name);
/* ASCII (xn--) domain name to UTF-8; null on failure. */
typedef const char*(__cdecl* HVC_idn_toUtf8_t)(const char* name);
/* The directory calls return 0 on success and 1 on failure. */
/* Removes the tree; a missing path is removed already (0). With a non-zero
 * force an entry that resists (read-only, no rights) gets ownership, delete
 * access and its read-only attribute cleared, and one more try. */
typedef int(__cdecl* HVC_RemoveDirectoryTree_t)(const char* path, int force);
/* Creates the directory and every missing parent; an existing one is fine. */
typedef int(__cdecl* HVC_createDirectory_t)(const char* path);
/* The same as HVC_createDirectory. */
typedef int(__cdecl* HVC_createNestedDirectory_t)(const char* path);
/* Renames or moves a directory tree, also to another volume (entry by entry,
 * with the source's security; moved back when it fails midway). An existing
 * destination directory receives the source's entries. */
typedef int(__cdecl* HVC_renameDirectory_t)(const char* from, const char* to);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>
/* The database connection parameters, each UTF-16 unit cut to 8 bits, the
 * port in decimal. The arguments are the library's own std::string: a
 * caller of this one export must be built with the same toolchain
 * (MinGW-w64 g++ with libstdc++); MSVC's std::string does not fit. It never
 * clears the error slot; on failure it stores the error there and leaves
 * the arguments as they were, so clear the slot first (HVC_FreeString(0))
 * to tell. */
typedef void(__cdecl* HVC_getOrvexDbConnectionInfo_t)(std::string& host, std::string& name, std::string& port,
                                                       std::string& login, std::string& password);
#endif

#if defined(_MSC_VER) && defined(_M_IX86) && defined(__cplusplus)
/* C++ linkage on purpose: 32-bit MSVC decorates these exactly as exported. */
__declspec(dllimport) const char* HVC_Base64Decode(const char* text);
__declspec(dllimport) int HVC_FreeString(const char* block);
__declspec(dllimport) const char* HVC_GetLastHvcDmtError();
__declspec(dllimport) const char* HVC_GetParam(const char* name);
__declspec(dllimport) unsigned long HVC_Execute(const char* user, const char* command, const char* directory,
                                               unsigned long reserved, const char* input, const char** output,
                                               const char** errors, const char* environment);
__declspec(dllimport) void HVC_ExecuteDb(const char* statement, long* lastId);
__declspec(dllimport) const char* HVC_QueryDbValue(const char* query);
__declspec(dllimport) const char* HVC_getPassword();
/* HVC_getOrvexDbConnectionInfo is left out: its std::string is libstdc++'s. */
__declspec(dllimport) const char* HVC_idn_toAscii(const char* name);
__declspec(dllimport) const char* HVC_idn_toUtf8(const char* name);
__declspec(dllimport) int HVC_RemoveDirectoryTree(const char* path, int force);
__declspec(dllimport) int HVC_createDirectory(const char* path);
__declspec(dllimport) int HVC_createNestedDirectory(const char* path);
__declspec(dllimport) int HVC_renameDirectory(const char* from, const char* to);
#endif

#endif
