#pragma once
// Call-site journal macros. They test gJournal (or the given journal) and its thresholds before
// anything is formatted, then journal
//   <source path>(<line>):<function> <message>
// The message is a stream expression:  JLOG_ERROR("open failed, errno " << err);
#include <sstream>

#include "foundation/Journaller.h"

#define JLOG_TO(journal, level, expr)                                                      \
  do {                                                                                     \
    Journaller* zdaJournal_ = (journal);                                                   \
    const JournalLogLevel zdaLevel_ = (level);                                             \
    if (zdaJournal_ && zdaJournal_->isEnabled(zdaLevel_)) {                                \
      std::ostringstream zdaStream_;                                                       \
      zdaStream_ << __FILE__ << "(" << __LINE__ << "):" << __func__ << " " << expr;        \
      zdaJournal_->log(zdaLevel_, zdaStream_.str());                                       \
    }                                                                                      \
  } while (0)

// Journalling off costs one atomic load; on, the line is written under a JournalUse, so the
// journal cannot be deleted while the line is being formatted or written. The formatting is
// marked unlikely, so the compiler moves it out of the way of the code around it.
#define JLOG(level, expr)                                                           \
  do {                                                                              \
    if (__builtin_expect(gJournal.load(std::memory_order_relaxed) != nullptr, 0)) { \
      const JournalUse zdaUse_;                                                     \
      JLOG_TO(zdaUse_.journal(), level, expr);                                      \
    }                                                                               \
  } while (0)

#define JLOG_TRACE(expr) JLOG(JLL_TRACE, expr)
#define JLOG_DEBUG(expr) JLOG(JLL_DEBUG, expr)
#define JLOG_ALERT(expr) JLOG(JLL_ALERT, expr)
#define JLOG_ERROR(expr) JLOG(JLL_ERROR, expr)
#define JLOG_FATAL(expr) JLOG(JLL_FATAL, expr)
#define JLOG_WRITE(expr) JLOG(JLL_WRITE, expr)

// True when the journal would take a line at this level (to guard costly preparation).
#define JLOG_ENABLED(level)                                                   \
  ([](JournalLogLevel zdaL_) {                                                \
    if (!gJournal.load(std::memory_order_relaxed)) return false;              \
    const JournalUse zdaUse_;                                                 \
    return zdaUse_.journal() != nullptr && zdaUse_.journal()->isEnabled(zdaL_); \
  }(level))
