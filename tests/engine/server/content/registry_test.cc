#include "content_fixture.h"
#include "engine/server/log_capture.h"

namespace {

using content_test::WaitJob;

TEST(RegistryTest, IdsCountUpAndReadResultsDoNotPileUp) {
  LogCapture log;
  const int first = StartUrlLoader("bad url", "");
  EXPECT_EQ(StartUrlLoader("bad url", ""), first + 1);
  EXPECT_EQ(CheckLocationLoader(first + 1000), -1);
  EXPECT_TRUE(log.contains("Check location loader " + std::to_string(first + 1000) + ": not found"));
  // Finished jobs that were read but never stopped: only the newest stay.
  std::vector<int> ids;
  for (int i = 0; i < kMaxReportedLoaders + 10; ++i) ids.push_back(StartUrlLoader("bad url", ""));
  for (int id : ids) EXPECT_EQ(WaitJob(id), kErrorUrl);
  EXPECT_EQ(CheckLocationLoader(ids.front()), -1);
  EXPECT_EQ(CheckLocationLoader(ids.back()), kErrorUrl) << "polling a finished job repeats its result";
  EXPECT_EQ(GetLoaderFile(ids.back()), "");
  EXPECT_FALSE(loaderStopped(ids.back()));
  EXPECT_EQ(GetLoaderTime(ids.front()), 0);
}

}  // namespace
