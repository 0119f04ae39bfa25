#pragma once
// A packet between two packets of the same device, item by item: raw counts and vectors blended
// linearly, orientations by slerp, the packet counter (modulo 65536) and the time of arrival
// placed between those of a and b. w = 0 gives a's values, w = 1 b's; w is not clamped (values
// outside extrapolate). With mode 3 the data items keep a's values, while the packet counter and
// the time of arrival still follow w.
//
// The result starts as a copy of b: an item is blended only when both packets carry it, and every
// other item (device id, packet id, status, sample times ...) is b's. Raw 16-bit values are
// truncated toward zero in 64 bits and keep their low 16 bits (NaN gives 0); the time of arrival
// is truncated toward zero, saturating at the 64-bit range.
#include "transport/legacy/LegacyDataPacket.h"
#include "zttypes/ztdatapacket.h"

// The result is owned by the caller (ZtDataPacket_destruct).
ZtDataPacket interpolatePackets(const ZtDataPacket& a, const ZtDataPacket& b, double w, int mode);
// Packets of different device counts give b unchanged.
LegacyDataPacket interpolatePackets(const LegacyDataPacket& a, const LegacyDataPacket& b, double w, int mode);
