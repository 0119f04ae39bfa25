#include "device/CallbackManagerZda.h"

#include <algorithm>
#include <condition_variable>
#include <new>
#include <utility>

namespace {

// Fan-outs running on this thread, on any manager. Removal does not wait while it is non-zero.
thread_local int t_fanOutDepth = 0;

// Managers whose propagation is running on this thread: a chain that loops back is cut here.
thread_local std::vector<const CallbackManagerZda*> t_propagating;

class PropagationGuard {
 public:
  explicit PropagationGuard(const CallbackManagerZda* manager) : m_manager(manager) {
    m_entered = std::find(t_propagating.begin(), t_propagating.end(), manager) == t_propagating.end();
    if (m_entered) t_propagating.push_back(manager);
  }
  ~PropagationGuard() {
    if (m_entered) t_propagating.pop_back();
  }
  PropagationGuard(const PropagationGuard&) = delete;
  PropagationGuard& operator=(const PropagationGuard&) = delete;
  // False when this manager is already being changed further up the same propagation.
  bool entered() const { return m_entered; }

 private:
  const CallbackManagerZda* m_manager;
  bool m_entered;
};

class ReadClaim {
 public:
  explicit ReadClaim(zelto::MutexReadWrite& lock, bool write = false) : m_lock(lock), m_write(write) {
    m_lock.claimMutex(m_write);
  }
  ~ReadClaim() { m_lock.releaseMutex(m_write); }
  ReadClaim(const ReadClaim&) = delete;
  ReadClaim& operator=(const ReadClaim&) = delete;

 private:
  zelto::MutexReadWrite& m_lock;
  bool m_write;
};

struct WriteClaim : ReadClaim {
  explicit WriteClaim(zelto::MutexReadWrite& lock) : ReadClaim(lock, true) {}
};

// Where removers wait for fan-outs to drain, shared by every manager: a fan-out that ends must
// not touch its manager after its counter's last decrement (a destructor waiting for it may free
// the manager at once), so the wake-up goes through this object, which is never destroyed.
struct RemoverWait {
  std::mutex mutex;
  std::condition_variable drained;
};

RemoverWait& removerWait() {
  static auto* wait = new RemoverWait;
  return *wait;
}

}  // namespace

const CallbackManagerZda::HandlerList* CallbackManagerZda::HandlerList::make(
    const std::vector<ZtCallbackPlainC*>& handlers) {
  static_assert(sizeof(HandlerList) % alignof(ZtCallbackPlainC*) == 0);
  void* block = ::operator new(sizeof(HandlerList) + handlers.size() * sizeof(ZtCallbackPlainC*));
  auto* list = ::new (block) HandlerList(handlers.size());
  std::copy(handlers.begin(), handlers.end(), reinterpret_cast<ZtCallbackPlainC**>(list + 1));
  return list;
}

void CallbackManagerZda::HandlerList::Free::operator()(const HandlerList* list) const {
  if (list) ::operator delete(const_cast<HandlerList*>(list));
}

bool CallbackManagerZda::HandlerList::contains(const ZtCallbackPlainC* handler) const {
  return std::find(begin(), end(), handler) != end();
}

// One running fan-out: counted in flight from its start to its end (also when a handler throws),
// which keeps the list it walks alive and removers waiting.
class CallbackManagerZda::FanOut {
 public:
  explicit FanOut(CallbackManagerZda& manager) : m_manager(manager) {
    // Counted in an epoch that is still current after the count: a remover that flipped it
    // meanwhile may not wait for this fan-out, which then must not take a list retired before.
    for (;;) {
      m_epoch = manager.m_epoch.load();
      manager.m_inFlight[m_epoch].fetch_add(kFanOut);
      if (manager.m_epoch.load() == m_epoch) break;
      leave(manager.m_inFlight[m_epoch]);
    }
    // The generation first: the list read after it is at least as new, so an unchanged
    // generation later means an unchanged list.
    m_generation = manager.m_generation.load();
    m_handlers = manager.m_list.load();
    m_current = m_handlers;
    m_startGeneration = m_generation;
    ++t_fanOutDepth;
  }
  ~FanOut() {
    --t_fanOutDepth;
    leave(m_manager.m_inFlight[m_epoch]);  // the manager may be gone from here on
  }
  FanOut(const FanOut&) = delete;
  FanOut& operator=(const FanOut&) = delete;

  // Offers visit every handler of the list as the fan-out began, then every handler appended
  // since (once each, until no further one appears). visit checks stillRegistered itself.
  template <typename Visit>
  void walk(Visit&& visit) {
    for (ZtCallbackPlainC* h : *m_handlers) visit(h);
    if (m_manager.m_generation.load() == m_startGeneration) return;
    walkAppended(visit);
  }

  // False for a handler removed since the walk began.
  bool stillRegistered(const ZtCallbackPlainC* handler) {
    const uint64_t generation = m_manager.m_generation.load();
    if (generation == m_generation) return true;
    m_generation = generation;
    m_current = m_manager.m_list.load();
    return m_current->contains(handler);
  }

 private:
  // The end of a count, here or of a fan-out that lost the race for its epoch: the last one out
  // wakes a remover waiting for this counter.
  static void leave(std::atomic<unsigned long>& inFlight) {
    if (inFlight.fetch_sub(kFanOut) != kFanOut + kRemoverWaits) return;
    RemoverWait& wait = removerWait();
    { std::lock_guard<std::mutex> lock(wait.mutex); }
    wait.drained.notify_all();
  }

  // Only when the list changed during the walk; the allocations here are off the common path.
  template <typename Visit>
  void walkAppended(Visit& visit) {
    std::vector<const ZtCallbackPlainC*> visited(m_handlers->begin(), m_handlers->end());
    for (;;) {
      const uint64_t generation = m_manager.m_generation.load();
      const HandlerList* current = m_manager.m_list.load();
      m_generation = generation;
      m_current = current;
      bool reached = false;
      for (ZtCallbackPlainC* h : *current) {
        if (std::find(visited.begin(), visited.end(), h) != visited.end()) continue;
        visited.push_back(h);
        reached = true;
        visit(h);
      }
      if (!reached || m_manager.m_generation.load() == generation) return;
    }
  }

  CallbackManagerZda& m_manager;
  const HandlerList* m_handlers = nullptr;  // the list as the fan-out began
  const HandlerList* m_current = nullptr;   // the list as of m_generation
  uint64_t m_generation = 0;
  uint64_t m_startGeneration = 0;
  unsigned m_epoch = 0;
};

CallbackManagerZda::CallbackManagerZda() : m_list(HandlerList::make({})) {}

CallbackManagerZda::~CallbackManagerZda() {
  try {
    clearChainedManagers();
    clearCallbackHandlers(false);
    // Also fan-outs walking an empty list still touch this object when they end.
    waitForFanOutsInFlight();
  } catch (...) {
    // Destruction must go on; the lists are released with the object.
  }
  HandlerList::Free()(m_list.load());
}

std::vector<ZtCallbackPlainC*> CallbackManagerZda::handlerSnapshot() const {
  ReadClaim claim(m_lock);
  return m_list.load()->copy();
}

std::vector<CallbackManagerZda*> CallbackManagerZda::chainedSnapshot() const {
  ReadClaim claim(m_lock);
  return m_chained;
}

void CallbackManagerZda::publishLocked(const std::vector<ZtCallbackPlainC*>& handlers) {
  const size_t count = handlers.size();
  // Made before anything changes: a failed allocation leaves the published list as it was.
  std::unique_ptr<const HandlerList, HandlerList::Free> fresh(HandlerList::make(handlers));
  m_retired.reserve(m_retired.size() + 1);
  std::unique_ptr<const HandlerList, HandlerList::Free> old(m_list.exchange(fresh.release()));
  m_generation.fetch_add(1);
  m_handlerCount.store(count);
  m_retired.push_back(std::move(old));
  reclaimIfIdleLocked();
}

void CallbackManagerZda::reclaimIfIdleLocked() {
  // A fan-out holds a list only while counted, and one counted later reads the current list: with
  // both counters at rest no fan-out holds a retired one.
  if (m_retired.empty() || (m_inFlight[0].load() | m_inFlight[1].load()) >= kFanOut) return;
  m_retired.clear();
}

void CallbackManagerZda::waitForFanOutsInFlight() {
  if (t_fanOutDepth > 0) return;
  std::lock_guard<std::mutex> serial(m_quiesce);
  unsigned old;
  RetiredLists retired;  // freed on return, after the wait
  {
    // With the write side held no list is retired between the flip and the taking of the lists.
    WriteClaim claim(m_lock);
    old = m_epoch.load();
    m_epoch.store(old ^ 1u);
    retired.swap(m_retired);
  }
  std::atomic<unsigned long>& inFlight = m_inFlight[old];
  if (inFlight.load() < kFanOut) return;
  inFlight.fetch_or(kRemoverWaits);
  RemoverWait& wait = removerWait();
  {
    std::unique_lock<std::mutex> lock(wait.mutex);
    wait.drained.wait(lock, [&] { return inFlight.load() < kFanOut; });
  }
  inFlight.fetch_and(~kRemoverWaits);
}

// ---- Handler list ----

void CallbackManagerZda::addCallbackHandler(ZtCallbackPlainC* handler, bool chain) {
  if (!handler) return;
  PropagationGuard guard(this);
  if (!guard.entered()) return;
  if (chain) {
    for (CallbackManagerZda* m : chainedSnapshot()) m->addCallbackHandler(handler, true);
  }
  WriteClaim claim(m_lock);
  const HandlerList& current = *m_list.load();
  if (current.contains(handler)) return;
  std::vector<ZtCallbackPlainC*> list = current.copy();
  list.push_back(handler);
  publishLocked(list);
}

void CallbackManagerZda::removeCallbackHandler(ZtCallbackPlainC* handler, bool chain) {
  if (!handler) return;
  PropagationGuard guard(this);
  if (!guard.entered()) return;
  if (chain) {
    for (CallbackManagerZda* m : chainedSnapshot()) m->removeCallbackHandler(handler, true);
  }
  {
    WriteClaim claim(m_lock);
    const HandlerList& current = *m_list.load();
    auto it = std::find(current.begin(), current.end(), handler);
    if (it == current.end()) return;
    std::vector<ZtCallbackPlainC*> list(current.begin(), it);
    list.insert(list.end(), it + 1, current.end());
    publishLocked(list);
  }
  waitForFanOutsInFlight();
}

void CallbackManagerZda::clearCallbackHandlers(bool chain) {
  PropagationGuard guard(this);
  if (!guard.entered()) return;
  bool changed = false;
  {
    WriteClaim claim(m_lock);
    if (m_list.load()->size() != 0) {
      publishLocked({});
      changed = true;
    }
  }
  if (changed) waitForFanOutsInFlight();
  if (chain) {
    for (CallbackManagerZda* m : chainedSnapshot()) m->clearCallbackHandlers(true);
  }
}

std::vector<ZtCallbackPlainC*> CallbackManagerZda::callbackHandlers() const { return handlerSnapshot(); }

bool CallbackManagerZda::isInsideCallback() { return t_fanOutDepth > 0; }

// ---- Chain ----

void CallbackManagerZda::addChainedManager(CallbackManagerZda* manager) {
  if (!manager || manager == this) return;
  WriteClaim claim(m_lock);
  if (std::find(m_chained.begin(), m_chained.end(), manager) == m_chained.end()) m_chained.push_back(manager);
}

void CallbackManagerZda::removeChainedManager(CallbackManagerZda* manager) {
  if (!manager) return;
  WriteClaim claim(m_lock);
  auto it = std::find(m_chained.begin(), m_chained.end(), manager);
  if (it != m_chained.end()) m_chained.erase(it);
}

void CallbackManagerZda::clearChainedManagers() {
  WriteClaim claim(m_lock);
  m_chained.clear();
}

std::vector<CallbackManagerZda*> CallbackManagerZda::chainedManagers() const { return chainedSnapshot(); }

// ---- Copying ----

void CallbackManagerZda::copyCallbackHandlersTo(CallbackManagerZda* target, bool chain) {
  if (!target) return;
  for (ZtCallbackPlainC* h : handlerSnapshot()) target->addCallbackHandler(h, chain);
}

void CallbackManagerZda::copyCallbackHandlersFrom(CallbackManagerZda* source, bool chain) {
  if (!source) return;
  for (ZtCallbackPlainC* h : source->handlerSnapshot()) addCallbackHandler(h, chain);
}

// ---- Fan-out ----

template <auto Entry, typename... Args>
void CallbackManagerZda::raise(ZtDevice* dev, Args... args) {
  // No handler, nothing to call (and none can be appended from inside a callback).
  if (m_handlerCount.load() == 0) return;
  FanOut fanOut(*this);
  fanOut.walk([&](ZtCallbackPlainC* h) {
    // Read the entry once: a default on another thread may clear it at any moment.
    auto fn = loadEntry(h->*Entry);
    if (!fn || !fanOut.stillRegistered(h)) return;
    fn(h, dev, args...);
  });
}

template <auto Entry, typename... Args>
bool CallbackManagerZda::raiseConsent(ZtDevice* dev, Args... args) {
  if (m_handlerCount.load() == 0) return true;
  FanOut fanOut(*this);
  bool consent = true;
  fanOut.walk([&](ZtCallbackPlainC* h) {
    auto fn = loadEntry(h->*Entry);
    if (!fn || !fanOut.stillRegistered(h)) return;
    if (fn(h, dev, args...) == 0) consent = false;
  });
  return consent;
}

void CallbackManagerZda::onDeviceStateChanged(ZtDevice* dev, ZtDeviceState newState, ZtDeviceState oldState) {
  raise<&ZtCallbackPlainC::m_onDeviceStateChanged>(dev, newState, oldState);
}
void CallbackManagerZda::onDataAvailable(ZtDevice* dev, const ZtDataPacket* packet) {
  raise<&ZtCallbackPlainC::m_onDataAvailable>(dev, packet);
}
void CallbackManagerZda::onMissedPackets(ZtDevice* dev, int count, int first, int last) {
  raise<&ZtCallbackPlainC::m_onMissedPackets>(dev, count, first, last);
}
void CallbackManagerZda::onWakeupReceived(ZtDevice* dev) { raise<&ZtCallbackPlainC::m_onWakeupReceived>(dev); }
void CallbackManagerZda::onProgressUpdated(ZtDevice* dev, int current, int total, const ZtString* identifier) {
  raise<&ZtCallbackPlainC::m_onProgressUpdated>(dev, current, total, identifier);
}
bool CallbackManagerZda::onWriteMessageToLogFile(ZtDevice* dev, const ZtMessage* message) {
  return raiseConsent<&ZtCallbackPlainC::m_onWriteMessageToLogFile>(dev, message);
}
bool CallbackManagerZda::onWriteDataToLogFile(ZtDevice* dev, const ZtDataPacket* packet) {
  return raiseConsent<&ZtCallbackPlainC::m_onWriteDataToLogFile>(dev, packet);
}
void CallbackManagerZda::onConnectivityChanged(ZtDevice* dev, ZtConnectivityState newState) {
  raise<&ZtCallbackPlainC::m_onConnectivityChanged>(dev, newState);
}
void CallbackManagerZda::onInfoResponse(ZtDevice* dev, ZtInfoRequest request) {
  raise<&ZtCallbackPlainC::m_onInfoResponse>(dev, request);
}
void CallbackManagerZda::onError(ZtDevice* dev, ZtResultValue error) {
  raise<&ZtCallbackPlainC::m_onError>(dev, error);
}
void CallbackManagerZda::onNonDataMessage(ZtDevice* dev, const ZtMessage* message) {
  raise<&ZtCallbackPlainC::m_onNonDataMessage>(dev, message);
}
void CallbackManagerZda::onMessageReceivedFromDevice(ZtDevice* dev, const ZtMessage* message) {
  raise<&ZtCallbackPlainC::m_onMessageReceivedFromDevice>(dev, message);
}
void CallbackManagerZda::onMessageSentToDevice(ZtDevice* dev, const ZtMessage* message) {
  raise<&ZtCallbackPlainC::m_onMessageSentToDevice>(dev, message);
}
