/*
 * The server extension interface of the Skalo module: a plain C contract
 * between an HTTP layer (the host) and the module file skalo.so.
 *
 * The host loads the module, calls GetExtensionVersion once, then
 * HttpExtensionProc once per request (from any number of threads at once),
 * and TerminateExtension before unloading it. Each request is described by an
 * EXTENSION_CONTROL_BLOCK that the host fills in and keeps alive until
 * HttpExtensionProc returns; every callback receives the block's ConnID.
 */
#ifndef SKALO_SERVICE_ISAPI_H
#define SKALO_SERVICE_ISAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t BOOL;
typedef uint32_t DWORD;
typedef int32_t HRESULT;
typedef void* HCONN;

#define HSE_VERSION_MAJOR 2
#define HSE_VERSION_MINOR 0
#define HSE_MAKE_VERSION(major, minor) (((DWORD)(major) << 16) | (DWORD)(minor))
#define HSE_MAX_EXT_DLL_NAME_LEN 256

/* Answers of HttpExtensionProc. */
#define HSE_STATUS_SUCCESS 1
#define HSE_STATUS_ERROR 4

/* The size of the buffer through which a URL path is mapped to a file path. */
#define HSE_MAP_URL_BUFFER 1024

#define SKALO_E_FAIL ((HRESULT)0x80004005u)

typedef struct HSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
} HSE_VERSION_INFO;

/*
 * An answer whose body is (part of) an open file, for TransmitFile: the host
 * sends the status line, the header block and then the bytes itself, without
 * the module reading or copying them.
 */
typedef struct HSE_TF_INFO {
  const char* pszStatusCode; /* as for SendResponseHeaders, e.g. "200 OK" */
  const char* pszHeaders;    /* header block as for SendResponseHeaders */
  int32_t hFile;             /* an open descriptor of a regular file */
  uint64_t Offset;           /* the first byte of the body in the file */
  uint64_t BytesToWrite;     /* the body's length */
} HSE_TF_INFO;

typedef struct EXTENSION_CONTROL_BLOCK {
  DWORD cbSize;           /* sizeof(EXTENSION_CONTROL_BLOCK) */
  DWORD dwVersion;        /* HSE_MAKE_VERSION(2, 0) */
  HCONN ConnID;           /* the host's context for this request */
  DWORD dwHttpStatusCode; /* set by the module to the status it answered */

  const char* lpszMethod;      /* "GET", "HEAD", ... */
  const char* lpszQueryString; /* raw text after "?", undecoded; "" when none */
  const char* lpszPathInfo;    /* decoded URL path after the module's mount; may be "" */

  /*
   * Copies the server variable `name` ("SCRIPT_NAME", "HTTP_HOST",
   * "SERVER_PROTOCOL", "REQUEST_METHOD", "QUERY_STRING", "PATH_INFO") into
   * buffer as a NUL-terminated text. *size holds the buffer's size on entry and
   * the size needed (terminator included) on exit. Answers 0 when the buffer
   * is too small or the variable is unknown.
   */
  BOOL (*GetServerVariable)(HCONN conn, const char* name, char* buffer, DWORD* size);

  /*
   * Maps the URL path held NUL-terminated in buffer to the file-system path
   * that the host would serve for it, written back into the same buffer.
   * *size is the buffer's size on entry (HSE_MAP_URL_BUFFER) and the length of
   * the result (terminator included) on exit. Answers 0 when the path cannot be
   * mapped; the buffer's content is then undefined.
   */
  BOOL (*MapUrlToPath)(HCONN conn, char* buffer, DWORD* size);

  /*
   * Sends the status line (e.g. "200 OK") and the header block: each header
   * line ended by CR LF, then an empty line. Called at most once per request,
   * before any WriteClient.
   */
  BOOL (*SendResponseHeaders)(HCONN conn, const char* status, const char* headers);

  /* Writes *bytes body bytes; *bytes is set to the count written. */
  BOOL (*WriteClient)(HCONN conn, const void* buffer, DWORD* bytes);

  /*
   * Answers with a file: status line, headers and BytesToWrite bytes of hFile
   * from Offset, in place of SendResponseHeaders and WriteClient (at most
   * once, never after either of them; later WriteClient calls fail). The host
   * takes a reference of its own to the open file, so the module may close
   * hFile as soon as the call returns, and reads it by position, leaving the
   * descriptor's offset alone: what is sent is what the open file holds, even
   * when its name is meanwhile given to another file. A file that turns out
   * shorter than told ends the connection rather than the answer short.
   * Answers 0, having sent nothing, for headers already sent, a bad status,
   * or a descriptor that is not a readable regular file holding the range.
   *
   * Optional: hosts built before it existed hand over a shorter block, and a
   * host may leave it null; see HSE_ECB_HAS.
   */
  BOOL (*TransmitFile)(HCONN conn, const HSE_TF_INFO* info);
} EXTENSION_CONTROL_BLOCK;

/*
 * True when the host's control block holds `member` and sets it: members
 * added later lie beyond the cbSize of a block from an older host.
 */
#define HSE_ECB_HAS(ecb, member)                                                         \
  ((ecb)->cbSize >= offsetof(EXTENSION_CONTROL_BLOCK, member) + sizeof((ecb)->member) && \
   (ecb)->member != NULL)

/* Entry points exported by the module file. */
typedef BOOL (*PFN_GETEXTENSIONVERSION)(HSE_VERSION_INFO* version);
typedef DWORD (*PFN_HTTPEXTENSIONPROC)(EXTENSION_CONTROL_BLOCK* ecb);
typedef BOOL (*PFN_TERMINATEEXTENSION)(DWORD flags);
typedef HRESULT (*PFN_DLLREGISTERSERVER)(void);

BOOL GetExtensionVersion(HSE_VERSION_INFO* version);
DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb);
BOOL TerminateExtension(DWORD flags);
HRESULT DllRegisterServer(void);

#ifdef __cplusplus
}
#endif

#endif /* SKALO_SERVICE_ISAPI_H */
