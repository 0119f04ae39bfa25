// zelto::ThreadLocal: one value per thread and owner, starting null, kept for the owner's life;
// a new owner never sees a value of one destroyed before it (also at the same address).
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "control/ThreadLocal.h"

namespace {

TEST(ThreadLocal, OneSlotPerThreadAndOwner) {
  zelto::ThreadLocal<int*> a, b, c;
  int x = 1, y = 2, z = 3;
  EXPECT_EQ(a.getData(), nullptr);
  a.getData() = &x;
  b.getData() = &y;
  c.getData() = &z;  // more owners than a thread remembers
  EXPECT_EQ(a.getData(), &x);
  EXPECT_EQ(b.getData(), &y);
  EXPECT_EQ(c.getData(), &z);
  EXPECT_EQ(&a.getData(), &a.getData());  // a stable slot

  std::vector<std::thread> threads;
  std::vector<int*> seen(8, &x);
  std::vector<int> kept(8, 0);
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      seen[i] = a.getData();  // a fresh slot: null
      int local = 0;
      a.getData() = &local;
      b.getData() = nullptr;
      kept[i] = a.getData() == &local ? 1 : 0;
    });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i], nullptr);
    EXPECT_EQ(kept[i], 1);
  }
  EXPECT_EQ(a.getData(), &x);  // untouched by the other threads
}

TEST(ThreadLocal, ANewOwnerStartsEmpty) {
  int x = 1;
  for (int round = 0; round < 4; ++round) {
    auto owner = std::make_unique<zelto::ThreadLocal<int*>>();
    EXPECT_EQ(owner->getData(), nullptr) << round;
    owner->getData() = &x;
  }
}

}  // namespace
