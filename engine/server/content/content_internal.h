// Shared by the transfer sources of this directory only: record access for
// job threads and the common send/receive loop.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "server/content/content_helper.h"
#include "server/content/http_reply.h"

extern Mutex& LoaderMutex;
extern std::map<int, LoaderData>& Loaders;
extern int LoaderCounter;

// Progress of one transfer step into a job's state.
struct Progress {
  int id;
  int min;
  int max;
  bool on() const { return min >= 0 && max >= min; }
  // Writes min + done * (max - min) / total, at most max, when it changes.
  void step(uint64_t done, uint64_t total) const;
  void set(int value, bool always) const;
};

// Stores a job's response.
void LoaderSetResponse(int id, std::string&& body);
// Tests the stop flag and logs the interruption; true when stopped.
bool Interrupted(int id);
// Resolves until an address is known or the job is stopped (empty then); the
// stop flag is seen within 100 ms even while the system resolver hangs.
std::string ResolveHost(const std::string& host, int id);

int TransferIdleMs();
int HandshakeMs();
uint64_t MaxReplyBytes();

// One connection's byte moving, plain or TLS.
class Channel {
 public:
  enum Io { kMoved, kWait, kClosedClean, kClosedUnclean, kFailed };
  virtual ~Channel() = default;
  // Waits at most about 100 ms. kMoved with *n > 0, kWait, a close, or
  // kFailed with *code set (message logged).
  virtual Io send(const char* data, size_t size, size_t* n, int* code) = 0;
  virtual Io recv(char* data, size_t size, size_t* n, int* code) = 0;
};

// A TCP socket that is closed exactly once: by close() or the destructor,
// never by a library, so a refused or failed connection cannot close a
// descriptor number another thread has been given meanwhile.
class Socket {
 public:
  Socket() = default;
  ~Socket() { close(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }
  // Shuts down and closes an open socket; later calls do nothing.
  void close();
  // Resolves the host (honouring the stop flag) and connects without
  // blocking: the stop flag is tested every 100 ms and an idle time-out
  // without an answer fails. Leaves the socket non-blocking. 0 or a code.
  int connect(const std::string& host, int port, int id, bool tlsLogs);

 private:
  int fd_ = -1;
};

// The file that receives a 200 reply's body while it arrives: written to a
// temporary file of this transfer's own ("<target>.part.XXXXXX") and renamed
// onto the target only once the reply is whole, so a failed transfer leaves
// the target as it was and two transfers to one target never mix. An empty
// target: none.
class ReplyFile : public BodyOut {
 public:
  explicit ReplyFile(std::string target) : target_(std::move(target)) {}
  ~ReplyFile() override;
  ReplyFile(const ReplyFile&) = delete;
  ReplyFile& operator=(const ReplyFile&) = delete;
  bool wanted() const { return !target_.empty(); }
  // Appends body bytes (opening the temporary file first). 0 or a code.
  int put(const char* data, size_t n) override;
  // Completes the file after a whole 200 reply. 0 or a code.
  int commit();

 private:
  int open();
  std::string target_;
  std::string temp_;
  int fd_ = -1;
};

// Sends every byte (pieces of at most `piece`), moving progress over the
// request when `progress` is on. 0 or a result code.
int SendAll(Channel& ch, const std::string& data, size_t piece, int id, const Progress* progress);
// Reads a reply into `reply` (whose sink, if any, takes the body as it
// arrives) until it is complete or the peer closes. firstByteWaits: the idle
// time-out starts only with the first byte.
int ReceiveReply(Channel& ch, HttpReply& reply, int id, const Progress* progress, bool firstByteWaits,
                 bool postLogs);
// Stores the body, checks the status and completes the file: the common end
// of every transfer.
int FinishReply(HttpReply& reply, ReplyFile& file, int id, const Progress& progress, const char* failMessage,
                bool logReplyOnFailure);

// Runs routine(arg) on a job thread of its own; false when no thread could be
// made or the process is exiting (job threads are stopped and joined at exit).
bool StartJobThread(void* (*routine)(void*), void* arg);
// Asks every job that has not ended to stop.
void StopAllJobs();

// Start of a job routine: logs, marks the record running and copies it.
// False when the record is gone.
bool JobBegin(int id, const char* startMessage, LoaderData* copy);
// End of a job routine: erases a stopped record, else records the result.
void JobEnd(int id, int result, const char* finishMessage, bool logErase);
