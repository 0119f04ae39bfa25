#pragma once
// The backing store of the device packet caches (packet id -> ZtDataPacket).
#include "device/cache/IDataSource.h"
#include "zttypes/ztdatapacket.h"

namespace zelto {

class IPacketDataSource : public IDataSource<long, ZtDataPacket> {};

}  // namespace zelto
