#include "transport/io/IoInterface.h"

IoInterface::~IoInterface() = default;

ZtResultValue IoInterface::open(const ZtPortInfo&, uint32_t, uint32_t) { return ZRV_UNSUPPORTED; }
ZtResultValue IoInterface::setTimeout(uint32_t) { return ZRV_UNSUPPORTED; }
ZtResultValue IoInterface::waitForData(size_t, ZtByteArray&) { return ZRV_UNSUPPORTED; }
void IoInterface::cancelIo() {}
ZtResultValue IoInterface::appendData(const ZtByteArray&) { return ZRV_UNSUPPORTED; }
ZtResultValue IoInterface::closeAndDelete() { return ZRV_UNSUPPORTED; }
ZtResultValue IoInterface::create(const ZtString&) { return ZRV_UNSUPPORTED; }
ZtResultValue IoInterface::deleteData(int64_t, int64_t) { return ZRV_UNSUPPORTED; }
ZtResultValue IoInterface::find(const ZtByteArray&, int64_t&) { return ZRV_UNSUPPORTED; }
int64_t IoInterface::getFileSize() { return 0; }
ZtResultValue IoInterface::getName(ZtString&) const { return ZRV_UNSUPPORTED; }
int64_t IoInterface::getReadPosition() { return 0; }
int64_t IoInterface::getWritePosition() { return 0; }
ZtResultValue IoInterface::insertData(int64_t, const ZtByteArray&) { return ZRV_UNSUPPORTED; }
bool IoInterface::isReadOnly() const { return true; }
ZtResultValue IoInterface::open(const ZtString&, bool, bool) { return ZRV_UNSUPPORTED; }
ZtResultValue IoInterface::setReadPosition(int64_t) { return ZRV_UNSUPPORTED; }
ZtResultValue IoInterface::setWritePosition(int64_t) { return ZRV_UNSUPPORTED; }
