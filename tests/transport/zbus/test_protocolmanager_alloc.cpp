// Ownership under allocation failure: a protocol handler or reply object handed over to the
// protocol manager or the reply monitor is deleted, not leaked, when the bookkeeping around it
// cannot be allocated, and the failure reaches the caller.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "transport/zbus/MidReplyObject.h"
#include "transport/zbus/ProtocolManager.h"
#include "transport/zbus/ReplyMonitor.h"

namespace {

// Number of further allocations that succeed before one fails; negative: none fails.
std::atomic<int> g_allocationsLeft{-1};

}  // namespace

void* operator new(std::size_t size) {
  int left = g_allocationsLeft.load();
  while (left >= 0 && !g_allocationsLeft.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0)
    throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1))
    return p;
  throw std::bad_alloc();
}
// The replaced operator new allocates with malloc, so free is the matching release; the compiler
// cannot see that pairing.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

struct AcceptAll : IMessageValidator {
  bool sanityCheck(const ZtMessage&) const override { return true; }
};

class CountedHandler : public virtual IProtocolHandler {
public:
  CountedHandler(ZtProtocolType type, int& deleted) : m_type(type), m_deleted(deleted) {}
  ~CountedHandler() override { ++m_deleted; }
  MessageLocation findMessage(ZtMessage&, const ZtByteArray&) const override { return MessageLocation(); }
  int minimumMessageSize() const override { return 1; }
  int maximumMessageSize() const override { return 1; }
  ZtProtocolType type() const override { return m_type; }

private:
  ZtProtocolType m_type;
  int& m_deleted;
};

class CountedReply : public MidReplyObject {
public:
  CountedReply(int& deleted) : MidReplyObject(0x31), m_deleted(deleted) {}
  ~CountedReply() override { ++m_deleted; }

private:
  int& m_deleted;
};

// Fails the allocation after `succeeding` more have been made, for the length of one call.
template <typename Call>
void failAfter(int succeeding, Call&& call) {
  g_allocationsLeft = succeeding;
  try {
    call();
  } catch (...) {
    g_allocationsLeft = -1;
    throw;
  }
  g_allocationsLeft = -1;
}

TEST(OwnershipUnderAllocationFailure, ProtocolManagerAddDeletesTheHandler) {
  AcceptAll link;
  ProtocolManager manager(link);
  // First the count block of the shared pointer fails, then the list node behind it, then the
  // slot of the search order.
  for (int succeeding : {0, 1, 2}) {
    int deleted = 0;
    auto* handler = new CountedHandler(ZPT_Nmea, deleted);
    EXPECT_THROW(failAfter(succeeding, [&] { manager.add(handler); }), std::bad_alloc) << succeeding;
    EXPECT_EQ(deleted, 1) << succeeding;
    EXPECT_EQ(manager.size(), 0u);
  }
  int deleted = 0;
  manager.add(new CountedHandler(ZPT_Nmea, deleted));
  EXPECT_TRUE(manager.hasProtocol(ZPT_Nmea));
  manager.clear();
  EXPECT_EQ(deleted, 1);
}

TEST(OwnershipUnderAllocationFailure, SharedPointerDeletesItsObject) {
  int deleted = 0;
  auto* handler = new CountedHandler(ZPT_Zbus, deleted);
  EXPECT_THROW(failAfter(0, [&] { zelto::NonIntrusiveSharedPointer<IProtocolHandler> p(handler); }),
               std::bad_alloc);
  EXPECT_EQ(deleted, 1);
}

TEST(OwnershipUnderAllocationFailure, ReplyMonitorHandleDeletesAndUnlists) {
  zelto::ReplyMonitor monitor;
  int deleted = 0;
  monitor.addReplyObject(new CountedReply(deleted)).reset();  // the list keeps its room
  ASSERT_EQ(deleted, 1);
  auto* object = new CountedReply(deleted);
  EXPECT_THROW(failAfter(0, [&] { monitor.addReplyObject(object); }), std::bad_alloc);
  EXPECT_EQ(deleted, 2);
  EXPECT_EQ(monitor.count(), 0u);
}

}  // namespace
