#include "device/CallbackManagerZda.h"

#include <algorithm>
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

}  // namespace

// One running fan-out: holds the handler list it walks and counts itself in flight until it ends
// (also when a handler throws).
class CallbackManagerZda::FanOut {
 public:
  explicit FanOut(CallbackManagerZda& manager) : m_manager(manager), m_inFlight(manager.m_inFlight) {
    {
      // Every event of every packet comes here: the short snapshot lock, not the read claim.
      std::lock_guard<std::mutex> snapshot(manager.m_snapshotMutex);
      m_handlers = manager.m_handlers;
      m_generation = manager.m_generation.load(std::memory_order_relaxed);
      m_epoch = manager.m_epoch;
      m_inFlight->count[m_epoch].fetch_add(1);
    }
    m_startGeneration = m_generation;
    ++t_fanOutDepth;
  }
  ~FanOut() {
    --t_fanOutDepth;
    m_handlers.reset();
    m_current.reset();
    // Past the decrement the manager may be gone (its destructor waits for this count): only
    // the shared in-flight record is touched, kept alive by this fan-out's reference.
    const std::shared_ptr<InFlight> inFlight = std::move(m_inFlight);
    if (inFlight->count[m_epoch].fetch_sub(1) == 1 && inFlight->waiters.load() > 0) {
      std::lock_guard<std::mutex> lock(inFlight->waitMutex);
      inFlight->done.notify_all();
    }
  }
  FanOut(const FanOut&) = delete;
  FanOut& operator=(const FanOut&) = delete;

  // Offers visit every handler of the list as the fan-out began, then every handler appended
  // since (once each, until no further one appears). visit checks stillRegistered itself.
  template <typename Visit>
  void walk(Visit&& visit) {
    for (ZtCallbackPlainC* h : *m_handlers) visit(h);
    if (m_manager.m_generation.load(std::memory_order_acquire) == m_startGeneration) return;
    walkAppended(visit);
  }

  // False for a handler removed since the walk began.
  bool stillRegistered(const ZtCallbackPlainC* handler) {
    if (m_manager.m_generation.load(std::memory_order_acquire) == m_generation) return true;
    return m_manager.isRegistered(handler, m_current, m_generation);
  }

 private:
  // Only when the list changed during the walk; the allocations here are off the common path.
  template <typename Visit>
  void walkAppended(Visit& visit) {
    std::vector<const ZtCallbackPlainC*> visited(m_handlers->begin(), m_handlers->end());
    for (;;) {
      uint64_t generation = 0;
      {
        ReadClaim claim(m_manager.m_lock);
        m_current = m_manager.m_handlers;
        generation = m_manager.m_generation.load(std::memory_order_relaxed);
      }
      m_generation = generation;
      const HandlerSnapshot current = m_current;
      bool reached = false;
      for (ZtCallbackPlainC* h : *current) {
        if (std::find(visited.begin(), visited.end(), h) != visited.end()) continue;
        visited.push_back(h);
        reached = true;
        visit(h);
      }
      if (!reached || m_manager.m_generation.load(std::memory_order_acquire) == generation) return;
    }
  }

  CallbackManagerZda& m_manager;
  std::shared_ptr<InFlight> m_inFlight;
  HandlerSnapshot m_handlers;
  HandlerSnapshot m_current;  // the list as of m_generation, once it differs from m_handlers
  uint64_t m_generation = 0;
  uint64_t m_startGeneration = 0;
  unsigned m_epoch = 0;
};

CallbackManagerZda::CallbackManagerZda()
    : m_handlers(std::make_shared<const HandlerList>()), m_inFlight(std::make_shared<InFlight>()) {}

CallbackManagerZda::~CallbackManagerZda() {
  try {
    clearChainedManagers();
    clearCallbackHandlers(false);
    // Also fan-outs walking an empty list still touch this object when they end.
    waitForFanOutsInFlight();
  } catch (...) {
    // Destruction must go on; the lists are released with the object.
  }
}

bool CallbackManagerZda::isRegistered(const ZtCallbackPlainC* handler, HandlerSnapshot& current,
                                      uint64_t& generation) const {
  {
    ReadClaim claim(m_lock);
    current = m_handlers;
    generation = m_generation.load(std::memory_order_relaxed);
  }
  return std::find(current->begin(), current->end(), handler) != current->end();
}

CallbackManagerZda::HandlerSnapshot CallbackManagerZda::handlerSnapshot() const {
  ReadClaim claim(m_lock);
  return m_handlers;
}

std::vector<CallbackManagerZda*> CallbackManagerZda::chainedSnapshot() const {
  ReadClaim claim(m_lock);
  return m_chained;
}

void CallbackManagerZda::publishLocked(HandlerList list) {
  HandlerSnapshot published = std::make_shared<const HandlerList>(std::move(list));
  std::lock_guard<std::mutex> snapshot(m_snapshotMutex);
  m_handlers.swap(published);
  m_generation.fetch_add(1, std::memory_order_release);
}

void CallbackManagerZda::waitForFanOutsInFlight() {
  if (t_fanOutDepth > 0) return;
  std::lock_guard<std::mutex> serial(m_quiesce);
  unsigned old;
  {
    std::lock_guard<std::mutex> snapshot(m_snapshotMutex);
    old = m_epoch;
    m_epoch ^= 1u;
  }
  InFlight& inFlight = *m_inFlight;
  if (inFlight.count[old].load() == 0) return;
  std::unique_lock<std::mutex> lock(inFlight.waitMutex);
  inFlight.waiters.fetch_add(1);
  inFlight.done.wait(lock, [&] { return inFlight.count[old].load() == 0; });
  inFlight.waiters.fetch_sub(1);
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
  if (std::find(m_handlers->begin(), m_handlers->end(), handler) != m_handlers->end()) return;
  HandlerList list(*m_handlers);
  list.push_back(handler);
  publishLocked(std::move(list));
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
    auto it = std::find(m_handlers->begin(), m_handlers->end(), handler);
    if (it == m_handlers->end()) return;
    HandlerList list(m_handlers->begin(), it);
    list.insert(list.end(), it + 1, m_handlers->end());
    publishLocked(std::move(list));
  }
  waitForFanOutsInFlight();
}

void CallbackManagerZda::clearCallbackHandlers(bool chain) {
  PropagationGuard guard(this);
  if (!guard.entered()) return;
  bool changed = false;
  {
    WriteClaim claim(m_lock);
    if (!m_handlers->empty()) {
      publishLocked(HandlerList());
      changed = true;
    }
  }
  if (changed) waitForFanOutsInFlight();
  if (chain) {
    for (CallbackManagerZda* m : chainedSnapshot()) m->clearCallbackHandlers(true);
  }
}

std::vector<ZtCallbackPlainC*> CallbackManagerZda::callbackHandlers() const { return *handlerSnapshot(); }

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
  HandlerSnapshot handlers = handlerSnapshot();
  for (ZtCallbackPlainC* h : *handlers) target->addCallbackHandler(h, chain);
}

void CallbackManagerZda::copyCallbackHandlersFrom(CallbackManagerZda* source, bool chain) {
  if (!source) return;
  HandlerSnapshot handlers = source->handlerSnapshot();
  for (ZtCallbackPlainC* h : *handlers) addCallbackHandler(h, chain);
}

// ---- Fan-out ----

template <auto Entry, typename... Args>
void CallbackManagerZda::raise(ZtDevice* dev, Args... args) {
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
