// (internal) The network thread's state and a connection's transfer, shared by the two halves of
// URL loading: the connection (url_connection.cc) and the thread that drives it (network_thread.cc).
#pragma once

#include "platform/url_connection.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <strings.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <list>
#include <map>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/mutex.h"
#include "platform/run_loop.h"
#include "platform/runtime_internal.h"
#include "platform/stream.h"


namespace platform {

// Whether the calling thread drives the transfers now (the network thread, or the main
// thread waiting in its run loop's place).
extern thread_local bool tlsDriving;


// Who drives the transfers. The network thread does, unless the main thread waits in its run
// loop with nothing ready: then the main thread drives them itself, waiting in libcurl's poll
// with its loop's wake-up among the sockets, so that neither a request it starts nor a reply
// that ends wakes another thread. Host code must not see that thread: while a connection or
// task that runs host code exists (`hostCode` > 0), the network thread drives and the main
// thread waits as a run loop does. Only the holder of the driver's role touches libcurl and
// the fields marked (driver); the role changes hands under `mutex`, which also guards the
// fields marked (m). `mutex` is never held together with a run loop's lock.
struct NetworkThread::Impl final : detail::IdleWaiter {
  CURLM* multi = nullptr;
  std::thread thread;
  Mutex mutex;
  CondVar stoppedCv;
  std::vector<std::function<void()>> tasks GUARDED_BY(mutex);  // (m)
  // The tasks being run, taken from `tasks` at once; kept to reuse its storage (driver).
  std::vector<std::function<void()>> draining;
  // Tasks ever posted, and whether the driver sleeps in curl_multi_poll: a poster wakes it
  // only when it sleeps (both sequentially consistent, so one of them sees the other).
  std::atomic<uint64_t> posted{0};
  std::atomic<bool> parked{false};
  // Wakes the poll: one write and one read, where libcurl's own wake-up costs a send and
  // two receives.
  int wakeFd = -1;
  void wake() {
    uint64_t one = 1;
    if (wakeFd < 0) curl_multi_wakeup(multi);  // no eventfd to be had
    else if (write(wakeFd, &one, sizeof one) < 0) {
    }  // only EAGAIN at a counter near overflow: the poll is awake anyway
  }
  uint64_t drained = 0;  // `posted` as the driver last took its tasks (driver)
  bool stopping GUARDED_BY(mutex) = false;  // (m)
  // Exit has begun: the transfers left are abandoned, so none of them sets up or checks TLS
  // any more, which would hold the exit up, or runs host code, whose objects may be going
  // (read by the driver's libcurl callbacks and between its tasks).
  std::atomic<bool> abandoning{false};
  bool stopped GUARDED_BY(mutex) = false;   // (m)

  // The driver's role (m). The main thread keeps it for a while after it left its wait with
  // transfers in flight, as it mostly comes back within microseconds (it ran a reply's
  // callback); the network thread, which meanwhile looks every kWatch (or sparser, see
  // kWatchSparsest), takes the role over once the main thread stayed away a whole period, or
  // at once when another thread posts.
  enum class Driver { None, Network, Main };
  Driver driver GUARDED_BY(mutex) = Driver::None;
  bool mainWaiting GUARDED_BY(mutex) = false;      // the main thread is in idleWait (m)
  bool mainWantsToDrive GUARDED_BY(mutex) = false;  // ... and waits for the network thread to let go (m)
  uint64_t mainLeft GUARDED_BY(mutex) = 0;          // how often the main thread left idleWait (m)
  bool workLeft GUARDED_BY(mutex) = false;  // the last driver let go of transfers still in flight (m)
  // A thread that never drives posted while the main thread is away (m).
  bool takeOver GUARDED_BY(mutex) = false;
  // Tasks that may run host code, queued or running, plus connections that run host code,
  // started and not ended (m; read without the lock by a driver that checks again under it).
  std::atomic<int> hostCode{0};
  void hostCodeBegins(URLConnection& c);
  void hostCodeEnds(URLConnection& c);
  // How the network thread sleeps while it does not drive: woken every kWatch while the main
  // thread drives or lately did, else only by a post (m).
  enum class Sleep { Awake, Watching, Deep } sleep GUARDED_BY(mutex) = Sleep::Awake;
  CondVar sleepCv;
  int handFd = -1;  // eventfd: the network thread let go for the main thread waiting for it
  static constexpr auto kWatch = std::chrono::milliseconds(1);
  // While the main thread is found in its wait at every look, the looks grow sparser, up to
  // this: each costs the process a wake-up, and one that finds the main thread away is
  // followed by looks kWatch apart again.
  static constexpr auto kWatchSparsest = std::chrono::milliseconds(8);
  static constexpr auto kLinger = std::chrono::milliseconds(50);
  // How long exit waits for the loop to end: the round under way sets up and checks no more
  // TLS once exit began, but a delegate callback it is in may take its time.
  static constexpr auto kExitWait = std::chrono::seconds(30);

  // Connections in flight, kept alive by the loop until they end or are cancelled (driver).
  std::map<CURL*, std::shared_ptr<URLConnection>> active;
  // As a phone's loader does: a few transfers (each on its own connection) per host, and
  // further requests to that host wait here, in order, for one to end. A host is scheme,
  // host name and port; libcurl's own per-host limit ignores the port, so one stalled
  // server held up every other on the same machine. Only running transfers sit in the
  // multi handle, which spends time on each it holds at every step, and their handles are
  // reused: a burst of a thousand requests costs per request what a few do.
  static constexpr size_t kTransfersPerHost = 6;
  struct HostSlots {
    size_t running = 0;
    std::list<std::shared_ptr<URLConnection>> waiting;  // a list costs nothing while empty
  };
  std::map<std::string, HostSlots> hosts;
  bool slotFreed = false;  // a host may have room for a waiting transfer
  void releaseSlot(URLConnection& c);
  // The slot of the URL's host (slotOf), remembered for the last scheme-and-authority seen:
  // requests mostly go to one server, and parsing the URL costs more than its reply.
  std::string slotFor(const std::string& url, std::string* host);
  std::string lastAuthority, lastSlot, lastHost;
  // Uploads paused until their paced body stream may be read again (steady time).
  std::multimap<std::chrono::steady_clock::time_point, std::weak_ptr<URLConnection>> wakeups;
  // Handles of ended transfers, reused: a new handle per request costs more than a small
  // reply does. A handle whose last request was a plain GET (URLConnection::configure) keeps
  // its options for the next plain GET, which sets only what differs between two of them;
  // any other handle, or any other request, starts from a reset handle.
  // Such a handle also keeps the header list it sent, which the next plain GET sends again
  // when its headers are the same (a client's requests mostly carry the same few).
  struct Spare {
    CURL* easy;
    bool plainGet;
    curl_slist* headers;  // set as the handle's CURLOPT_HTTPHEADER while `plainGet`
  };
  std::vector<Spare> spareHandles;

  // A handle for a transfer; `*kept` tells whether it still holds a plain GET's options, and
  // then `*headers` receives the header list it holds (owned by the caller from here).
  CURL* takeHandle(bool plainGet, bool* kept, curl_slist** headers) {
    *kept = false;
    *headers = nullptr;
    if (spareHandles.empty()) return curl_easy_init();
    Spare spare = spareHandles.back();
    spareHandles.pop_back();
    if (plainGet && spare.plainGet) {
      *kept = true;
      *headers = spare.headers;
    } else {
      curl_easy_reset(spare.easy);  // before the list it may point to goes
      curl_slist_free_all(spare.headers);
    }
    return spare.easy;
  }
  // Takes the handle and the header list it was given.
  void giveBack(CURL* e, bool plainGet, curl_slist* headers) {
    if (spareHandles.size() < 2 * kTransfersPerHost) {
      spareHandles.push_back({e, plainGet, plainGet ? headers : nullptr});
      if (plainGet) return;
    } else {
      curl_easy_cleanup(e);
    }
    curl_slist_free_all(headers);
  }
  bool hasTransfers() const { return !active.empty() || !hosts.empty() || !wakeups.empty(); }

  void run();
  void driveAsNetwork();
  bool idleWait(RunLoop& loop, int loopFd, int64_t realNs) override;
  // What a round left: nothing to do at once, a transfer admitted (another round at once), or
  // host code to run, which the main thread leaves to the network thread.
  enum class Round { Done, Again, HostCode };
  Round round(bool asMain);
  bool admitWaiting();
  bool drainTasks(bool asMain);
  void handOverLocked() REQUIRES(mutex);
  short park(int extraFd, int timeoutMs);
  void resumeDueUploads();
  int pollTimeoutMs();
  void finished(CURL* easy, CURLcode code);
  void stop();
  void endTransfers();
};

struct URLConnection::Transfer {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  URLResponse response;
  bool responseDelivered = false;
  bool stopped = false;
  bool trustRefused = false;
  bool pausedForPacing = false;
  bool admitting = false;  // started, waiting for a slot of its host
  bool plainGet = false;   // `easy` holds exactly the options of a plain GET
  bool holdsSlot = false;  // counted in the running transfers of `slot`
  std::string slot;
  int redirects = 0;
  std::optional<URLRequest> redirectTo;  // the next hop, decided when the redirect's head ended
  std::optional<URLLoadError> refusal;   // the delegate refused a redirect
  std::optional<StreamError> bodyError;
  int64_t uploadReported = 0;
  int64_t uploadExpected = -1;
  std::string host;
  char errorBuffer[CURL_ERROR_SIZE] = {};
};

struct NetworkThreadAccess {
  static URLConnection::Transfer& transfer(URLConnection& c) { return *c.transfer_; }
  static URLConnectionDelegate& delegate(URLConnection& c) { return c.delegate_; }
  static const URLRequest& request(URLConnection& c) { return c.request_; }
  static bool restart(URLConnection& c, URLRequest next);
  static bool runsHostCode(URLConnection& c) { return c.runsHostCode_; }
  static bool& counted(URLConnection& c) { return c.countedAsHostCode_; }
};

using Access = NetworkThreadAccess;

namespace url_detail {
// Hands the connection's response to its delegate once, before its first data.
void deliverResponse(URLConnection& c);
// The URL error code for a libcurl result.
long errorCodeFor(CURLcode code);
}  // namespace url_detail

}  // namespace platform
