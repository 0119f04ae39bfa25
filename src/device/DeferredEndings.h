#pragma once
// The endings of devices deferred to the end of their own work (see DeviceTaskScope). They run on
// one process-wide job thread, one batch at a time in the order queued, never on the task pool:
// an ending waits for the device's last tasks, its link's parse tasks and replies, which with a
// pool of one worker would never run behind it. The thread starts with the first ending and
// sleeps while idle; it is never stopped (an ending may be queued while the process exits).
//
// Endings are counted from their deferral to the end of the batch that runs them (and a link
// closed from its reader's own handler until the reader has deleted it), so that a control's
// close can wait until none is left (none raises a handler after it).
#include <functional>
#include <vector>

class DeferredEndings {
 public:
  // One more ending under way: a batch deferred (a scope's first deferral, settled by queue),
  // or a link that its reader deletes after its pass (settled by the reader).
  static void announce();
  static void settle();
  // Runs the actions in order on the ending thread (one that throws does not keep the next from
  // running) and then settles one announced batch; settles at once when nothing can be queued.
  static void queue(std::vector<std::function<void()>> actions);
  // Returns once no announced batch is left; at once on the ending thread (it would wait for
  // itself).
  static void waitForAll();
};
