#pragma once
// Fast-index cache (log-file playback): entries in insertion order with constant-time indexing.
// It never trims, never removes single entries and keeps entries after a write-back.
#include "device/cache/ConfigurableDataCache.h"
#include "device/cache/ConfigurableFlushing.h"
#include "device/cache/DefaultFetchBehaviour.h"
#include "device/cache/KeepAfterFlush.h"
#include "device/cache/MapAndVectorStorage.h"
#include "device/cache/SequenceDefaultAccessBehaviour.h"
#include "device/cache/SequenceFastIndexing.h"
#include "device/cache/SequenceInsertEnd.h"
#include "device/cache/SequenceTrimDisabled.h"
#include "device/cache/ZeltoException.h"
#include "device/cache/ZeltoLocking.h"

template <class K, class V, class Flushing = DataCachePolicy::ConfigurableFlushing>
class FastIndexDataCache
    : public ConfigurableDataCache<K, V, DataCachePolicy::MapAndVectorStorage<K, V>,
                                   DataCachePolicy::SequenceInsertEnd, DataCachePolicy::SequenceDefaultAccessBehaviour,
                                   DataCachePolicy::SequenceFastIndexing, DataCachePolicy::SequenceTrimDisabled,
                                   Flushing, DataCachePolicy::KeepAfterFlush, DataCachePolicy::DefaultFetchBehaviour,
                                   DataCachePolicy::ZeltoLocking, DataCachePolicy::ZeltoException<K, V>> {};
