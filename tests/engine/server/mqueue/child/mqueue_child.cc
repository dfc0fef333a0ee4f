// A queue in a process of its own, for tests that kill it:
//   mqueue_child writer DIR FIRST COUNT LIMIT LOG   adds TestMessage(FIRST...),
//       writing "N\n" to stdout after each one stored; LIMIT > 0: no file may
//       grow beyond LIMIT bytes, so the writer dies (SIGXFSZ) in the middle of
//       the append that crosses it, and logs nothing
//   mqueue_child poster DIR URL LOG                 posts from DIR until killed
// Both log to the file LOG.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/mqueue/mqueue.h"
#include "test_message.h"

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  _Logger.setOutStream(nullptr);
  _Logger.setLogFile(argv[argc - 1]);
  if (mode == "writer" && argc == 7) {
    if (const rlim_t limit = std::strtoull(argv[5], nullptr, 10); limit > 0) {
      _Logger.setLogFile("");
      const rlimit none{0, 0}, most{limit, limit};
      setrlimit(RLIMIT_CORE, &none);
      setrlimit(RLIMIT_FSIZE, &most);
    }
    MQueueManager queue("http://127.0.0.1:9/unused", argv[2], 20000, 200);  // never started
    const int first = std::atoi(argv[3]), count = std::atoi(argv[4]);
    for (int n = first; n < first + count; ++n) {
      if (queue.addMessage(TestMessage(n))) dprintf(1, "%d\n", n);
      usleep(500);
    }
    return 0;
  }
  if (mode == "poster" && argc == 5) {
    MQueueManager queue(argv[3], argv[2], 20000, 200);
    queue.setSleepTimeout(1);
    queue.setRetryTimeout(2, 20);
    queue.setParameter("userHash", "u1");
    queue.start();
    for (;;) pause();
  }
  std::fprintf(stderr, "usage: mqueue_child writer DIR FIRST COUNT LIMIT LOG | poster DIR URL LOG\n");
  return 2;
}
