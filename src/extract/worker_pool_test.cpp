#include "extract/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

TEST(WorkerPool, OneWorkerRunsEachTaskAtOnceOnTheCallingThread) {
  WorkerPool pool(1);
  EXPECT_EQ(pool.WorkerCount(), 1u);
  WorkerPool::Work work;
  std::thread::id ranOn;
  pool.Submit(work, [&ranOn](zip::ZipJobScratch&) { ranOn = std::this_thread::get_id(); });
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(pool.IsDone(work));
}

TEST(WorkerPool, AWorkIsDoneOnceEveryOneOfItsTasksHasRun) {
  WorkerPool pool(4);
  EXPECT_EQ(pool.WorkerCount(), 4u);
  std::vector<std::unique_ptr<WorkerPool::Work>> works;
  std::vector<std::vector<int>> results(20, std::vector<int>(8, 0));
  for (int w = 0; w < 20; ++w) {
    works.push_back(std::make_unique<WorkerPool::Work>());
    for (int t = 0; t < 8; ++t) {
      // Each task writes its own slot: the owner reads them after the wait.
      pool.Submit(*works.back(), [&results, w, t](zip::ZipJobScratch&) { results[w][t] = w + t; });
    }
  }
  for (int w = 19; w >= 0; --w) {
    pool.Wait(*works[w]);
    EXPECT_TRUE(pool.IsDone(*works[w]));
    for (int t = 0; t < 8; ++t) {
      EXPECT_EQ(results[w][t], w + t);
    }
  }
  WorkerPool::Work empty;
  EXPECT_TRUE(pool.IsDone(empty));
}

TEST(WorkerPool, TasksStillQueuedRunBeforeThePoolIsGone) {
  std::atomic<int> ran{0};
  WorkerPool::Work work;
  {
    WorkerPool pool(2);
    for (int i = 0; i < 100; ++i) {
      pool.Submit(work, [&ran](zip::ZipJobScratch&) { ran.fetch_add(1); });
    }
  }
  EXPECT_EQ(ran.load(), 100);
}

}  // namespace
