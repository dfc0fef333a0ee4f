// Shared by the client tests: one request's outcome as the callbacks report it.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>

#include "networking/http_request_operation_manager.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

struct Outcome {
  bool done = false, success = false, onMain = false;
  MCResponseObject object;
  std::optional<platform::Error> error;
  std::shared_ptr<MCHTTPRequestOperation> operation;
};

inline MCHTTPRequestOperation::SuccessBlock recordSuccess(std::shared_ptr<Outcome> o) {
  return [o](const std::shared_ptr<MCHTTPRequestOperation>& op, const MCResponseObject& object) {
    o->done = o->success = true;
    o->onMain = platform::RunLoop::isMainThread();
    o->object = object;
    o->operation = op;
  };
}

inline MCHTTPRequestOperationManager::FailureBlock recordFailure(std::shared_ptr<Outcome> o) {
  return [o](const std::shared_ptr<MCHTTPRequestOperation>& op, const platform::Error& e) {
    o->done = true;
    o->onMain = platform::RunLoop::isMainThread();
    o->error = e;
    o->operation = op;
  };
}

inline bool await(const std::shared_ptr<Outcome>& o, double seconds = 20) {
  return platform::testing::pumpUntil([&] { return o->done; }, seconds);
}

// The main thread is the test thread.
class MainThreadEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { platform::RunLoop::setMainThread(); }
};
