// The engine's transfer jobs and their HTTP/1.1 client over plain sockets.
//
// Jobs: every transfer runs on a thread of its own and reports through one
// integer state (0 created, 1..99 running/progress, 100 success, negative: a
// result code below or minus a non-200 HTTP status). At process exit the jobs
// still running are stopped and their threads joined (within a few seconds)
// before the TLS library is torn down; no job starts after that. All job
// functions may be called from any thread; they only take the registry's lock for short record
// operations. A record that finished is dropped when it is stopped, and records
// whose final state has been read by a check are kept only up to
// kMaxReportedLoaders of them holding at most kMaxReportedBytes of responses
// (oldest dropped first; the newest always stays), so a caller that polls and
// never stops cannot grow the registry without bound.
//
// Transfers (GetResource, PostResource, PostRequest) run on the calling job's
// thread and write into that job's record.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "server/utils.h"

// Result codes of every transfer function.
constexpr int kErrorFcntl = -1010;
constexpr int kErrorMkdir = -1020;
constexpr int kErrorOpenFile = -1030;
constexpr int kErrorWriteFile = -1040;
constexpr int kErrorHttpHeader = -1050;
constexpr int kErrorChunked = -1060;
constexpr int kErrorGzip = -1070;
constexpr int kErrorInterrupted = -1080;
constexpr int kErrorLocationNotFound = -1090;
constexpr int kErrorEmptyRequest = -1100;
constexpr int kErrorServerUrl = -1110;
constexpr int kErrorUrl = -1120;
constexpr int kErrorConnect = -1130;
constexpr int kErrorRecv = -1140;
constexpr int kErrorSend = -1150;
constexpr int kErrorSelect = -1160;
constexpr int kErrorRecvTimeout = -1170;
constexpr int kErrorSendTimeout = -1180;
constexpr int kErrorHandshake = -1190;
constexpr int kErrorSslInit = -1200;
constexpr int kErrorDrbgInit = -1210;
constexpr int kErrorCaParse = -1220;
constexpr int kErrorVerify = -1230;
constexpr int kErrorSslRead = -1240;
constexpr int kErrorSslWrite = -1250;
// A reply (or its inflated body) larger than kMaxReplyBytes.
constexpr int kErrorReplyTooLarge = -1260;
// A reply that ended before its Content-Length, or a length-less reply whose
// TLS connection ended without the peer's close notification.
constexpr int kErrorReplyTruncated = -1270;
// A value that cannot go into a request as given (line breaks, too long).
constexpr int kErrorBadValue = -1280;
constexpr int kErrorEmptySslRequest = -1501;

// The largest body (after decoding) a transfer keeps in memory: far above the
// largest map archive a venue has, small enough to refuse a runaway reply.
constexpr uint64_t kMaxReplyBytes = 1ull << 30;
// The largest body kept in memory (no file to stream it to, or a reply other
// than 200): list and JSON replies are far smaller, and a kept body is copied
// into the job's record.
constexpr uint64_t kMaxKeptReplyBytes = 64ull << 20;

// Finished records whose final state a check has returned, kept for later
// reads of their response and file name.
constexpr int kMaxReportedLoaders = 64;
constexpr uint64_t kMaxReportedBytes = 16u << 20;

struct LoaderData {
  std::string server;    // server base address or full URL
  std::string userHash;
  std::string location;  // "#<id>" or a title
  std::string fileName;
  std::string request;   // poster jobs: the complete request
  std::string response;  // body of the last reply, decoded; empty when it went to the file
  bool forced = false;
  pthread_t thread{};
  bool running = false;  // the thread handle is set
  int state = 0;
  int stopped = 0;
  uint64_t startTime = 0;
  uint64_t stateTime = 0;
  bool reported = false;  // a check has returned the final state
};

int StartLocationLoader(const std::string& server, const std::string& userHash,
                        const std::string& location, const std::string& fileName, bool forced);
int StartLocationUploader(const std::string& server, const std::string& userHash,
                          const std::string& location, const std::string& fileName, bool forced);
int StartUrlLoader(const std::string& url, const std::string& fileName);
int StartUrlPoster(const std::string& url, const std::string& request, const std::string& fileName);

// CheckLocationUploader, StopLocationUploader and GetLoaderStateTime are
// offered to outside callers; the kit itself does not call them.
int CheckLocationLoader(int id);
int CheckLocationUploader(int id);
void StopLocationLoader(int id);
void StopLocationUploader(int id);
std::string GetLoaderResponse(int id);
std::string GetLoaderFile(int id);
int32_t GetLoaderTime(int id);
int32_t GetLoaderStateTime(int id);
bool loaderStopped(int id);

// URL parts: scheme "http"/"HTTP"/"https"/"HTTPS", host, port, path ("/..."
// with its query). A URL holding control characters or spaces is refused.
bool ParseURL(const std::string& url, std::string* scheme = nullptr, std::string* host = nullptr,
              int* port = nullptr, std::string* path = nullptr);
// Numeric address of a host, from a cache kept for an hour; empty when unknown
// or when the system resolver gives no answer within the idle time-out (it
// goes on in the background and fills the cache when it answers).
std::string GetAddress(const std::string& host);

// GET into fileName (a 200 reply, streamed to disk and in place once whole) or
// else into the job's response. Progress range -1..-1 means no progress.
// https URLs go over TLS.
int GetResource(const std::string& url, const std::string& fileName, int id, int progressMin,
                int progressMax);
// Uploads a file as one multipart part named "file".
int PostResource(const std::string& url, const std::string& fileName, int id, int progressMin,
                 int progressMax);
// Sends a caller-built request unchanged and reads the reply.
int PostRequest(const std::string& host, int port, const std::string& request,
                const std::string& fileName, int id, int progressMin, int progressMax);

// Decoders over a whole reply still holding its header; the body is replaced
// by its decoded form. False for a malformed, cut or oversized body.
bool ParseChunkedResponse(std::string& reply);
bool GunzipResponse(std::string& reply);
// Replaces every match of pattern, scanning left to right and never inside
// bytes it inserted.
void find_and_replace(std::string& text, const std::string& pattern, const char* replacement,
                      size_t replacementLength);

// Percent-encodes a query value (unreserved characters stay as they are).
std::string EncodeQueryValue(const std::string& value);

// Idle time-outs of later transfers, in milliseconds: no byte received or
// sent for this long ends a transfer (31,000 by default), and the TLS
// handshake's limit (10,000). Lets tests run the time rules quickly.
void SetTransferTimeouts(int idleMs, int handshakeMs);
// The cap on one reply's decoded body (kMaxReplyBytes by default; a body kept
// in memory never goes past kMaxKeptReplyBytes), for tests that must see the
// cap without gigabytes of memory.
void SetMaxReplyBytes(uint64_t bytes);
// Stands in for the system resolver (host to numeric address, empty when
// unknown); null restores it. Lets tests make a resolver that hangs.
using HostResolver = std::string (*)(const std::string& host);
void SetHostResolver(HostResolver resolver);
