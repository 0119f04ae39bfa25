#pragma once
// Event fan-out to an ordered list of application handlers, and chaining of managers so that a
// handler registered with propagation on one manager (the control) reaches every manager
// chained below it (its devices, their links and children). Events never travel along the chain.
//
// Threads. Events are raised on many threads at once. A fan-out takes no lock: it counts itself in
// flight (one atomic add on the manager, one subtract when it ends) and walks the handler list
// published then (an immutable list, freed only once no fan-out can still walk it); the handlers
// run with no lock held, so a handler may raise further events, register or remove handlers
// (itself included) on any manager, or chain managers, without deadlock. A handler removed while
// a fan-out is walking is not called by that walk afterwards; a handler appended while a fan-out
// is walking (by a handler from inside its callback, say) is reached by that walk after the
// handlers it started with, each at most once.
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
  // True while this thread runs a handler called by a fan-out of any manager.
  static bool isInsideCallback();
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
  // A published handler list: immutable, its count and handlers in one block, so a fan-out
  // reaches the handlers through one pointer (a vector would add its separate storage, one more
  // cache line to fetch per event on a processor that has not seen the list lately).
  class HandlerList {
   public:
    static const HandlerList* make(const std::vector<ZtCallbackPlainC*>& handlers);
    struct Free {
      void operator()(const HandlerList* list) const;
    };
    ZtCallbackPlainC* const* begin() const { return items(); }
    ZtCallbackPlainC* const* end() const { return items() + m_size; }
    size_t size() const { return m_size; }
    bool contains(const ZtCallbackPlainC* handler) const;
    std::vector<ZtCallbackPlainC*> copy() const { return {begin(), end()}; }

   private:
    explicit HandlerList(size_t size) : m_size(size) {}
    // The handlers follow the object in its block.
    ZtCallbackPlainC* const* items() const { return reinterpret_cast<ZtCallbackPlainC* const*>(this + 1); }
    size_t m_size;
  };
  using RetiredLists = std::vector<std::unique_ptr<const HandlerList, HandlerList::Free>>;
  class FanOut;

  template <auto Entry, typename... Args>
  void raise(ZtDevice* dev, Args... args);
  template <auto Entry, typename... Args>
  bool raiseConsent(ZtDevice* dev, Args... args);

  // Replaces the handler list; the old one is retired (write side held by the caller).
  void publishLocked(const std::vector<ZtCallbackPlainC*>& handlers);
  // Frees the retired lists when no fan-out is in flight (write side held by the caller).
  void reclaimIfIdleLocked();
  std::vector<CallbackManagerZda*> chainedSnapshot() const;
  std::vector<ZtCallbackPlainC*> handlerSnapshot() const;
  // Returns once every fan-out that started before the call has ended (not from a callback), then
  // frees the lists retired before the call.
  void waitForFanOutsInFlight();

  // In-flight counters: kFanOut per running fan-out, plus kRemoverWaits while a remover waits for
  // the counter to drain. A fan-out counts itself in the epoch it saw; a remover flips the epoch
  // and waits for the old one, so fan-outs starting meanwhile do not hold it up.
  static constexpr unsigned long kFanOut = 2;
  static constexpr unsigned long kRemoverWaits = 1;

  // Lock order: m_quiesce before m_lock. m_lock is never held while calling a handler or another
  // manager, nor while waiting for fan-outs; fan-outs never take it.
  mutable zelto::MutexReadWrite m_lock;
  // What every fan-out touches, kept together: the published list, its generation, the epoch and
  // the in-flight counters. The list is replaced (never changed in place) under the write side;
  // the generation is bumped after each replacement.
  std::atomic<const HandlerList*> m_list;
  std::atomic<uint64_t> m_generation{0};
  std::atomic<size_t> m_handlerCount{0};  // the published list's size: none, no fan-out at all
  std::atomic<unsigned> m_epoch{0};
  std::atomic<unsigned long> m_inFlight[2] = {0, 0};
  RetiredLists m_retired;                      // guarded by m_lock: replaced lists not yet freed
  std::vector<CallbackManagerZda*> m_chained;  // guarded by m_lock

  std::mutex m_quiesce;  // one waiting remover at a time, so the two epochs suffice
};
