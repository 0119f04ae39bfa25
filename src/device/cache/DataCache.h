#pragma once
// Most-recently-used cache: new and read entries go to the front of a recency list, a full cache
// drops from its back, and an index counts from the front.
#include "device/cache/ConfigurableDataCache.h"
#include "device/cache/ConfigurableDiscardAfterFlush.h"
#include "device/cache/ConfigurableFlushing.h"
#include "device/cache/DefaultFetchBehaviour.h"
#include "device/cache/MapAndLinkedListStorage.h"
#include "device/cache/SequenceAccessMovesToFront.h"
#include "device/cache/SequenceInsertBegin.h"
#include "device/cache/SequenceSlowIndexing.h"
#include "device/cache/SequenceTrimFromEnd.h"
#include "device/cache/ZeltoException.h"
#include "device/cache/ZeltoLocking.h"

template <class K, class V, class Flushing = DataCachePolicy::ConfigurableFlushing,
          class AfterFlush = DataCachePolicy::ConfigurableDiscardAfterFlush>
class DataCache
    : public ConfigurableDataCache<K, V, DataCachePolicy::MapAndLinkedListStorage<K, V>,
                                   DataCachePolicy::SequenceInsertBegin, DataCachePolicy::SequenceAccessMovesToFront,
                                   DataCachePolicy::SequenceSlowIndexing, DataCachePolicy::SequenceTrimFromEnd, Flushing,
                                   AfterFlush, DataCachePolicy::DefaultFetchBehaviour, DataCachePolicy::ZeltoLocking,
                                   DataCachePolicy::ZeltoException<K, V>> {};
