// A deadline for tests that walk on-disk structures: a walk that loops on
// damaged input must fail its test within seconds, not hold ctest until
// its ten-minute timeout.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <type_traits>

namespace velmora::testing {

// Far above what any walk over a test's bytes takes, sanitized or not.
inline constexpr std::chrono::seconds kWalkDeadline{5};

// Runs work on a worker thread and hands back what it returns (or throws).
// When it has not returned by the deadline it is taken for a loop: a
// running walk cannot be cancelled, so the process ends at once with a line
// naming the test, which ctest then reports as failed.
template <typename Work>
std::invoke_result_t<Work&> WithinDeadline(Work&& work, std::chrono::seconds deadline = kWalkDeadline) {
  std::packaged_task<std::invoke_result_t<Work&>()> task(std::ref(work));
  auto result = task.get_future();
  std::thread worker(std::move(task));
  if (result.wait_for(deadline) != std::future_status::ready) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "%s.%s: did not return within %lld s: a walk that does not end? Ending the tests.\n",
                 test ? test->test_suite_name() : "?", test ? test->name() : "?",
                 static_cast<long long>(deadline.count()));
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
  }
  worker.join();
  return result.get();
}

}  // namespace velmora::testing
