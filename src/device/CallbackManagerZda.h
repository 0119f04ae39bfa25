#pragma once
// Event fan-out to an ordered list of application handlers, and chaining of managers so that a
// handler registered with propagation on one manager (the control) reaches every manager
// chained below it (its devices, their links and children). Events never travel along the chain.
//
// Threads. Events are raised on many threads at once. A fan-out takes the read side of m_lock
// only long enough to take a reference to the current handler list (an immutable snapshot) and
// to register itself as in flight; the handlers run with no lock held, so a handler may raise
// further events, register or remove handlers (itself included) on any manager, or chain
// managers, without deadlock. A handler removed while a fan-out is walking is not called by that
// walk afterwards; a handler appended while a fan-out is walking (by a handler from inside its
// callback, say) is reached by that walk after the handlers it started with, each at most once.
//
// Removal (removeCallbackHandler, clearCallbackHandlers, destruction) made outside any callback
// returns only when no fan-out that started before it is still running, so the caller may then
// free the handler. Made from inside a callback it does not wait (waiting there could deadlock
// against another thread doing the same); the caller must not free a handler that other threads
// may still be calling. Never remove handlers while holding a lock that a handler takes.
//
// Propagation visits the chained managers one after the other with no lock of this manager
// held; a chain that loops back on itself is visited once per manager.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "device/ZtCallback.h"
#include "foundation/MutexReadWrite.h"

class CallbackManagerZda : public ZtCallback {
 public:
  CallbackManagerZda();
  ~CallbackManagerZda() override;
  CallbackManagerZda(const CallbackManagerZda&) = delete;
  CallbackManagerZda& operator=(const CallbackManagerZda&) = delete;

  // Null handlers are ignored. With chain, every chained manager (in chaining order, depth
  // first) is changed before this one. A handler is held at most once, at its first position.
  void addCallbackHandler(ZtCallbackPlainC* handler, bool chain);
  void removeCallbackHandler(ZtCallbackPlainC* handler, bool chain);
  // Empties this list, then (with chain) the chained managers'.
  void clearCallbackHandlers(bool chain);

  // Null and this manager are ignored; a manager is chained at most once. Handlers are neither
  // copied nor removed. Chained managers are not owned: unchain before either is destroyed.
  void addChainedManager(CallbackManagerZda* manager);
  void removeChainedManager(CallbackManagerZda* manager);
  void clearChainedManagers();

  // addCallbackHandler(h, chain) on the target for each handler of this manager, in order.
  void copyCallbackHandlersTo(CallbackManagerZda* target, bool chain);
  // addCallbackHandler(h, chain) on this manager for each handler of the source, in order.
  void copyCallbackHandlersFrom(CallbackManagerZda* source, bool chain);

  std::vector<ZtCallbackPlainC*> callbackHandlers() const;
  std::vector<CallbackManagerZda*> chainedManagers() const;

  // Fan-out: every handler with a non-null entry for the event, in registration order, with the
  // arguments unchanged. The consent events are the AND of every called entry (all are called,
  // none is skipped after a refusal); true when no entry is called. An exception thrown by a
  // handler ends the fan-out and reaches the raiser.
  void onDeviceStateChanged(ZtDevice* dev, ZtDeviceState newState, ZtDeviceState oldState) override;
  void onDataAvailable(ZtDevice* dev, const ZtDataPacket* packet) override;
  void onMissedPackets(ZtDevice* dev, int count, int first, int last) override;
  void onWakeupReceived(ZtDevice* dev) override;
  void onProgressUpdated(ZtDevice* dev, int current, int total, const ZtString* identifier) override;
  bool onWriteMessageToLogFile(ZtDevice* dev, const ZtMessage* message) override;
  bool onWriteDataToLogFile(ZtDevice* dev, const ZtDataPacket* packet) override;
  void onConnectivityChanged(ZtDevice* dev, ZtConnectivityState newState) override;
  void onInfoResponse(ZtDevice* dev, ZtInfoRequest request) override;
  void onError(ZtDevice* dev, ZtResultValue error) override;
  void onNonDataMessage(ZtDevice* dev, const ZtMessage* message) override;
  void onMessageReceivedFromDevice(ZtDevice* dev, const ZtMessage* message) override;
  void onMessageSentToDevice(ZtDevice* dev, const ZtMessage* message) override;

 private:
  using HandlerList = std::vector<ZtCallbackPlainC*>;
  using HandlerSnapshot = std::shared_ptr<const HandlerList>;
  class FanOut;

  template <auto Entry, typename... Args>
  void raise(ZtDevice* dev, Args... args);
  template <auto Entry, typename... Args>
  bool raiseConsent(ZtDevice* dev, Args... args);

  // Replaces the handler list (write side held by the caller).
  void publishLocked(HandlerList list);
  std::vector<CallbackManagerZda*> chainedSnapshot() const;
  HandlerSnapshot handlerSnapshot() const;
  bool isRegistered(const ZtCallbackPlainC* handler, HandlerSnapshot& current, uint64_t& generation) const;
  // Returns once every fan-out that registered before the call has ended (not from a callback).
  void waitForFanOutsInFlight();

  // Fan-outs in flight and the wait for them. Shared with every running fan-out, because a
  // fan-out signals its end after its count reaches zero, when a destructor waiting for that
  // count may already have freed the manager.
  struct InFlight {
    std::atomic<long> count[2] = {0, 0};  // fan-outs running, by the epoch they started in
    std::mutex waitMutex;
    std::condition_variable done;
    std::atomic<int> waiters{0};
  };

  // Lock order: m_lock is never held while calling a handler or another manager, nor while
  // waiting for fan-outs; m_quiesce is taken before m_lock, m_lock before m_snapshotMutex,
  // InFlight::waitMutex after neither. m_snapshotMutex is held only to copy or replace the
  // fields it guards: a fan-out's start takes it alone (the read claim costs more per event).
  mutable zelto::MutexReadWrite m_lock;
  mutable std::mutex m_snapshotMutex;
  HandlerSnapshot m_handlers;                  // changed under m_lock and m_snapshotMutex, read under
                                               // either; the list is never changed in place
  std::vector<CallbackManagerZda*> m_chained;  // guarded by m_lock
  unsigned m_epoch = 0;                        // guarded by m_snapshotMutex: which counter new fan-outs use
  std::atomic<uint64_t> m_generation{0};       // bumped (under m_lock) on every handler list change
  const std::shared_ptr<InFlight> m_inFlight;  // set once by the constructor

  std::mutex m_quiesce;  // one waiting remover at a time, so the two epochs suffice
};
