#pragma once
// Weak FIFO cache: first in, first out by key, not by arrival. A full cache drops its lowest
// keys, an index counts from the lowest key, reads change nothing.
#include "device/cache/ConfigurableDataCache.h"
#include "device/cache/ConfigurableDiscardAfterFlush.h"
#include "device/cache/ConfigurableFlushing.h"
#include "device/cache/DefaultFetchBehaviour.h"
#include "device/cache/MapSlowIndexing.h"
#include "device/cache/MapStorage.h"
#include "device/cache/MapTrimFromBegin.h"
#include "device/cache/SequenceDefaultAccessBehaviour.h"
#include "device/cache/SequenceInsertEnd.h"
#include "device/cache/ZeltoException.h"
#include "device/cache/ZeltoLocking.h"

template <class K, class V, class Flushing = DataCachePolicy::ConfigurableFlushing,
          class AfterFlush = DataCachePolicy::ConfigurableDiscardAfterFlush>
class WeakFifoDataCache
    : public ConfigurableDataCache<K, V, DataCachePolicy::MapStorage<K, V>, DataCachePolicy::SequenceInsertEnd,
                                   DataCachePolicy::SequenceDefaultAccessBehaviour, DataCachePolicy::MapSlowIndexing,
                                   DataCachePolicy::MapTrimFromBegin, Flushing, AfterFlush,
                                   DataCachePolicy::DefaultFetchBehaviour, DataCachePolicy::ZeltoLocking,
                                   DataCachePolicy::ZeltoException<K, V>> {};
