#include "zttypes/ztdatapacket.h"
#include "ztmessagegrow.h"

#include <math.h>
#include <string.h>

/* Items are found by scanning the payload of the data message each time: packets hold a handful
 * of items, and no index has to be kept in step with the bytes. A setter scans once (the item it
 * writes, the end of the list and the forms it replaces come from one pass), writes the bytes
 * in place and sums the checksum once the value is in: a tracker rewrites every packet's message
 * several times on the pool. Nothing here allocates except the message growing when an item is
 * added. */

typedef struct Item {
  size_t offset; /* payload offset of the value bytes */
  uint16_t id;
  uint8_t size;
} Item;

enum { kHeaderSize = 3, kMatchType = ZDI_TypeMask, kMatchGroup = ZDI_GroupMask, kMatchExact = 0xFFFF };

/* ---- byte helpers (big-endian) ---- */

static uint16_t getU16(const uint8_t* b) { return (uint16_t)((b[0] << 8) | b[1]); }
static uint32_t getU32(const uint8_t* b) {
  return ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | (uint32_t)b[3];
}
static void putU16(uint8_t* b, uint16_t v) {
  b[0] = (uint8_t)(v >> 8);
  b[1] = (uint8_t)v;
}
static void putU32(uint8_t* b, uint32_t v) {
  b[0] = (uint8_t)(v >> 24);
  b[1] = (uint8_t)(v >> 16);
  b[2] = (uint8_t)(v >> 8);
  b[3] = (uint8_t)v;
}

/* ---- scanning ---- */

/* The payload as ZtMessage_constData and ZtMessage_dataSize give it, read from the frame here:
 * every lookup starts with it. */
static const uint8_t* payload(const ZtDataPacket* p, size_t* size) {
  const ZtByteArray* b = &p->message.bytes;
  *size = 0;
  if (!b->data || b->size < 5) return NULL;
  const size_t header = b->data[3] == ZTMESSAGE_EXTENDED_LENGTH ? 6 : 4;
  if (b->size <= header + 1) return NULL;
  *size = b->size - header - 1;
  return b->data + header;
}

/* Known identifiers must carry exactly their layout's size; unknown ones any size. */
static int wellFormed(uint16_t id, uint8_t size) {
  const int expected = ZtDataIdentifier_itemSize(id);
  return expected < 0 || expected == size;
}

/* Calls visit for each item up to the first one that runs past the payload; stops early when
 * visit returns non-zero. Invariant: o <= n, so n - o never wraps. */
typedef int (*ItemVisitor)(const Item* item, void* context);
static int forEachItem(const ZtDataPacket* p, ItemVisitor visit, void* context) {
  size_t n;
  const uint8_t* d = payload(p, &n);
  size_t o = 0;
  while (d && n - o >= kHeaderSize) {
    Item it;
    it.id = getU16(d + o);
    it.size = d[o + 2];
    if ((size_t)it.size > n - o - kHeaderSize) break; /* truncated: the list ends here */
    it.offset = o + kHeaderSize;
    if (visit(&it, context)) return 1;
    o += kHeaderSize + it.size;
  }
  return 0;
}

/* First well-formed known item with (id & mask) == value. */
static int findItem(const ZtDataPacket* p, uint16_t value, uint16_t mask, Item* out) {
  size_t n;
  const uint8_t* d = payload(p, &n);
  size_t o = 0;
  while (d && n - o >= kHeaderSize) {
    const uint16_t id = getU16(d + o);
    const uint8_t size = d[o + 2];
    if ((size_t)size > n - o - kHeaderSize) break;
    if ((id & mask) == value && ZtDataIdentifier_itemSize(id) == (int)size) {
      if (out) {
        out->offset = o + kHeaderSize;
        out->id = id;
        out->size = size;
      }
      return 1;
    }
    o += kHeaderSize + size;
  }
  return 0;
}

static int hasType(const ZtDataPacket* p, uint16_t type) { return findItem(p, type, kMatchType, NULL); }

/* One pass for several types at once: the first well-formed item of each type (found[i] tells
 * which were); returns the payload offset just past the last complete item. Getters and setters
 * of quantities made of several items (calibrated data, increments, status) use it so that the
 * packet is walked once rather than once per item. */
static size_t findTypes(const ZtDataPacket* p, const uint16_t* types, size_t count, Item* items, int* found) {
  size_t n;
  const uint8_t* d = payload(p, &n);
  size_t o = 0;
  for (size_t i = 0; i < count; ++i) found[i] = 0;
  while (d && n - o >= kHeaderSize) {
    const uint16_t id = getU16(d + o);
    const uint8_t size = d[o + 2];
    if ((size_t)size > n - o - kHeaderSize) break;
    for (size_t i = 0; i < count; ++i) {
      if (found[i] || (id & kMatchType) != types[i]) continue;
      if (ZtDataIdentifier_itemSize(id) == (int)size) {
        found[i] = 1;
        items[i].offset = o + kHeaderSize;
        items[i].id = id;
        items[i].size = size;
      }
      break; /* the types differ: no other can match this item */
    }
    o += kHeaderSize + size;
  }
  return o;
}

static const uint8_t* itemBytes(const ZtDataPacket* p, const Item* it) {
  return ZtMessage_constData(&p->message) + it->offset;
}

/* ---- writing ---- */

static int ensureMessage(ZtDataPacket* p) {
  if (ZtMessage_empty(&p->message)) {
    ZtMessage_destruct(&p->message);
    ZtMessage_constructSized(&p->message, 0);
    if (ZtMessage_empty(&p->message)) return 0;
    ZtMessage_setMessageId(&p->message, ZTDATAPACKET_MESSAGE_ID);
  }
  return 1;
}

static int fits(const ZtDataPacket* p, size_t extra) {
  size_t n;
  (void)payload(p, &n);
  return n + extra <= (size_t)ZTMESSAGE_MAX_DATA_SIZE;
}

/* What one pass over the list tells a setter: the first well-formed item with
 * (id & mask) == value, the payload offset just past the last complete item, and the bytes of
 * the other well-formed items with (id & removeMask) == removeValue (removeMask 0: none). */
typedef struct Scan {
  int found;
  Item item;
  size_t end;
  size_t removable;
} Scan;

static void scanItems(const ZtDataPacket* p, uint16_t value, uint16_t mask, uint16_t removeValue, uint16_t removeMask,
                      Scan* s) {
  size_t n;
  const uint8_t* d = payload(p, &n);
  size_t o = 0;
  s->found = 0;
  s->removable = 0;
  while (d && n - o >= kHeaderSize) {
    const uint16_t id = getU16(d + o);
    const uint8_t size = d[o + 2];
    if ((size_t)size > n - o - kHeaderSize) break;
    if (!s->found && (id & mask) == value && ZtDataIdentifier_itemSize(id) == (int)size) {
      s->found = 1;
      s->item.offset = o + kHeaderSize;
      s->item.id = id;
      s->item.size = size;
    } else if (removeMask && (id & removeMask) == removeValue && ZtDataIdentifier_itemSize(id) == (int)size) {
      s->removable += kHeaderSize + (size_t)size;
    }
    o += kHeaderSize + size;
  }
  s->end = o;
}

static uint8_t* mutablePayload(ZtDataPacket* p) {
  size_t n;
  return (uint8_t*)(uintptr_t)payload(p, &n);
}

/* Writes header and value bytes (zeros when value is null) behind the last complete item at
 * payload offset end, in one resize; returns the value offset or -1. On success the checksum is
 * left to the caller (one sum once the value is in place); on failure it is right. Bytes of a
 * truncated item at the end are dropped: an item appended behind them could never be found, and
 * they would swallow its header. */
static long appendAt(ZtDataPacket* p, size_t end, uint16_t id, const uint8_t* value, uint8_t size) {
  if (!ensureMessage(p)) return -1;
  if (end + kHeaderSize + size > (size_t)ZTMESSAGE_MAX_DATA_SIZE) return -1;
  uint8_t* b = ZtMessage_appendDataUnsummed(&p->message, end, kHeaderSize + (size_t)size);
  if (!b) {
    ZtMessage_recomputeChecksum(&p->message); /* a dropped tail leaves the checksum stale */
    return -1;
  }
  putU16(b, id);
  b[2] = size;
  if (value)
    memcpy(b + kHeaderSize, value, size);
  else
    memset(b + kHeaderSize, 0, size);
  return (long)(end + kHeaderSize);
}

/* Appends a complete item (checksum included); returns the value offset or -1. */
static long appendItem(ZtDataPacket* p, uint16_t id, const uint8_t* value, uint8_t size) {
  Scan s;
  scanItems(p, 0, 0, 0, 0, &s);
  const long offset = appendAt(p, s.end, id, value, size);
  if (offset >= 0) ZtMessage_recomputeChecksum(&p->message);
  return offset;
}

/* Removes every well-formed item matching (id & mask) == value, except the one at keepOffset. */
static void removeItems(ZtDataPacket* p, uint16_t value, uint16_t mask, size_t keepOffset) {
  size_t n;
  const uint8_t* d = payload(p, &n);
  size_t o = 0;
  while (d && n - o >= kHeaderSize) {
    const uint16_t id = getU16(d + o);
    const uint8_t size = d[o + 2];
    if ((size_t)size > n - o - kHeaderSize) break;
    if ((id & mask) == value && ZtDataIdentifier_itemSize(id) == (int)size && o + kHeaderSize != keepOffset) {
      ZtMessage_deleteData(&p->message, kHeaderSize + (size_t)size, o);
      d = payload(p, &n);
      if (keepOffset != (size_t)-1 && keepOffset > o) keepOffset -= kHeaderSize + (size_t)size;
      continue;
    }
    o += kHeaderSize + size;
  }
}

/* Fixed-layout item written from a scan for it: overwritten in place when present, else
 * appended; the checksum summed once. */
static int writeFixed(ZtDataPacket* p, const Scan* s, uint16_t type, const uint8_t* value, uint8_t size) {
  if (s->found) {
    memcpy(mutablePayload(p) + s->item.offset, value, size);
  } else if (appendAt(p, s->end, type, value, size) < 0) {
    return 0;
  }
  ZtMessage_recomputeChecksum(&p->message);
  return 1;
}

static int setFixed(ZtDataPacket* p, uint16_t type, const uint8_t* value, uint8_t size) {
  Scan s;
  scanItems(p, type, kMatchExact, 0, 0, &s);
  return writeFixed(p, &s, type, value, size);
}

/* Reads a fixed-layout item; zero-fills out and returns null when absent. */
static const uint8_t* getFixed(const ZtDataPacket* p, uint16_t type, void* out, size_t outSize) {
  Item it;
  if (out) memset(out, 0, outSize);
  if (!findItem(p, type, kMatchExact, &it)) return NULL;
  return itemBytes(p, &it);
}

static uint32_t formSettings(uint16_t id) { return (uint32_t)(id & ZDI_FloatFormMask) << 8; }

/* Floating-point item of a type: read count values; zeros and 0 when absent. */
static int getValues(const ZtDataPacket* p, uint16_t type, double* values, size_t count, uint16_t* idOut) {
  Item it;
  memset(values, 0, count * sizeof *values);
  if (idOut) *idOut = 0;
  if (!findItem(p, type, kMatchType, &it)) return 0;
  if (ZtMessage_getDataFPValues(&p->message, formSettings(it.id), values, it.offset, count) == it.offset) return 0;
  if (idOut) *idOut = it.id;
  return 1;
}

/* The values of an item found by findTypes (null: absent): zeros and 0 when absent or unreadable. */
static int readItemValues(const ZtDataPacket* p, const Item* it, double* values, size_t count) {
  memset(values, 0, count * sizeof *values);
  if (!it) return 0;
  return ZtMessage_getDataFPValues(&p->message, formSettings(it->id), values, it->offset, count) != it->offset;
}

/* Appends n floating-point items as doubles behind the last complete item at payload offset end,
 * in one growth, checksum left stale: the bytes are those n appends one by one would give (a
 * truncated tail is dropped first). The caller has checked that they fit. */
static int appendDoubleItemsUnsummed(ZtDataPacket* p, size_t end, const uint16_t* types, const double* const* values,
                                     const size_t* counts, size_t n) {
  size_t total = 0;
  for (size_t i = 0; i < n; ++i) total += kHeaderSize + counts[i] * 8;
  if (!ensureMessage(p) || end + total > (size_t)ZTMESSAGE_MAX_DATA_SIZE) return 0;
  if (!ZtMessage_appendDataUnsummed(&p->message, end, total)) return 0;
  size_t o = end;
  for (size_t i = 0; i < n; ++i) {
    const uint16_t id = (uint16_t)(types[i] | ZDI_Float64);
    uint8_t* b = mutablePayload(p) + o;
    putU16(b, id);
    b[2] = (uint8_t)(counts[i] * 8);
    o += kHeaderSize;
    ZtMessage_setDataFPValuesUnsummed(&p->message, formSettings(id), values[i], o, counts[i]);
    o += counts[i] * 8;
  }
  return 1;
}

/* The items of a quantity made of several floating-point items (calibrated data, increments),
 * from one walk: those present written in place in their own form, the absent ones appended as
 * doubles in one growth in the order given, the checksum summed once. The bytes are those of
 * setting the items one by one. */
static int setValueSet(ZtDataPacket* p, const uint16_t* types, const double* const* values, const size_t* counts,
                       size_t n) {
  Item items[3];
  int found[3];
  uint16_t absentTypes[3];
  const double* absentValues[3];
  size_t absentCounts[3];
  const size_t end = findTypes(p, types, n, items, found);
  size_t absent = 0, extra = 0;
  for (size_t i = 0; i < n; ++i) {
    if (found[i]) continue;
    absentTypes[absent] = types[i];
    absentValues[absent] = values[i];
    absentCounts[absent] = counts[i];
    extra += kHeaderSize + counts[i] * 8;
    ++absent;
  }
  if (!ensureMessage(p) || !fits(p, extra)) return 0;
  for (size_t i = 0; i < n; ++i)
    if (found[i]) ZtMessage_setDataFPValuesUnsummed(&p->message, formSettings(items[i].id), values[i], items[i].offset, counts[i]);
  const int ok = !absent || appendDoubleItemsUnsummed(p, end, absentTypes, absentValues, absentCounts, absent);
  ZtMessage_recomputeChecksum(&p->message);
  return ok;
}

/* Encodes the values at a value offset and sums the checksum once. */
static void writeValues(ZtDataPacket* p, uint16_t id, const double* values, size_t offset, size_t count) {
  if (ZtMessage_setDataFPValues(&p->message, formSettings(id), values, offset, count) == offset)
    ZtMessage_recomputeChecksum(&p->message);
}

/* Floating-point item of a type: written in place in its present form (the frame code replaced
 * when frame >= 0), else appended as doubles. Items matching (id & removeMask) == removeValue are
 * removed first (other forms of the same quantity); removeMask 0 removes nothing. */
static int setValues(ZtDataPacket* p, uint16_t type, const double* values, size_t count, int frame,
                     uint16_t removeValue, uint16_t removeMask) {
  Scan s;
  scanItems(p, type, kMatchType, removeValue, removeMask, &s);
  if (!s.found) {
    const size_t needed = kHeaderSize + count * 8;
    if (!ensureMessage(p) || ZtMessage_dataSize(&p->message) - s.removable + needed > (size_t)ZTMESSAGE_MAX_DATA_SIZE)
      return 0;
    if (s.removable) removeItems(p, removeValue, removeMask, (size_t)-1);
    const uint16_t id = (uint16_t)(type | (frame > 0 ? (frame & ZDI_FrameMask) : 0) | ZDI_Float64);
    /* The removed items all lay before the end of the list. */
    const size_t end = s.end - s.removable;
    uint8_t* b = ZtMessage_appendDataUnsummed(&p->message, end, kHeaderSize + count * 8);
    if (b) {
      putU16(b, id);
      b[2] = (uint8_t)(count * 8);
      ZtMessage_setDataFPValuesUnsummed(&p->message, formSettings(id), values, end + kHeaderSize, count);
    }
    ZtMessage_recomputeChecksum(&p->message);
    return b != NULL;
  }
  Item it = s.item;
  if (s.removable) {
    removeItems(p, removeValue, removeMask, it.offset);
    findItem(p, type, kMatchType, &it);
  }
  uint16_t id = it.id;
  if (frame >= 0) {
    id = (uint16_t)((id & ~ZDI_FrameMask) | (frame & ZDI_FrameMask));
    putU16(mutablePayload(p) + it.offset - kHeaderSize, id);
  }
  writeValues(p, id, values, it.offset, count);
  return 1;
}

static ZtVector* vectorOut(ZtVector* out, const double* values) {
  if (!out) return NULL;
  return ZtVector_assign(out, 3, values) == 0 ? out : NULL;
}

static int vectorIn(const ZtVector* v) { return v && v->data && v->size >= 3; }

/* ---- rotations ---- */

static void quatMulX(double a, const ZtQuaternion* q, ZtQuaternion* r) {
  /* (0, a, 0, 0) * q */
  const ZtQuaternion s = *q;
  r->w = -a * s.x;
  r->x = a * s.w;
  r->y = -a * s.z;
  r->z = a * s.y;
}

/* North-east-down = (0, 1, 0, 0) * north-west-up; the way back uses the exact inverse. */
static void convertQuaternionFrame(ZtQuaternion* q, int from, int to) {
  from &= ZDI_FrameMask;
  to &= ZDI_FrameMask;
  if (from == to || from == ZDI_FrameNone || to == ZDI_FrameNone) return;
  if (from == ZDI_FrameNwu && to == ZDI_FrameNed)
    quatMulX(1.0, q, q);
  else if (from == ZDI_FrameNed && to == ZDI_FrameNwu)
    quatMulX(-1.0, q, q);
}

static void convertVectorFrame(double* v, int from, int to) {
  from &= ZDI_FrameMask;
  to &= ZDI_FrameMask;
  if (from == to || from == ZDI_FrameNone || to == ZDI_FrameNone) return;
  if ((from == ZDI_FrameNwu && to == ZDI_FrameNed) || (from == ZDI_FrameNed && to == ZDI_FrameNwu)) {
    v[1] = -v[1];
    v[2] = -v[2];
  }
}

static const double kDeg = 57.29577951308232;

static void quatFromEuler(const ZtEuler* e, ZtQuaternion* q) {
  const double hr = e->roll / kDeg * 0.5, hp = e->pitch / kDeg * 0.5, hy = e->yaw / kDeg * 0.5;
  const double cr = cos(hr), sr = sin(hr), cp = cos(hp), sp = sin(hp), cy = cos(hy), sy = sin(hy);
  q->w = cr * cp * cy + sr * sp * sy;
  q->x = sr * cp * cy - cr * sp * sy;
  q->y = cr * sp * cy + sr * cp * sy;
  q->z = cr * cp * sy - sr * sp * cy;
}

static void eulerFromQuat(const ZtQuaternion* q, ZtEuler* e) {
  double s = 2.0 * (q->w * q->y - q->x * q->z);
  if (s > 1.0) s = 1.0;
  if (s < -1.0) s = -1.0;
  e->roll = atan2(2.0 * (q->w * q->x + q->y * q->z), 1.0 - 2.0 * (q->x * q->x + q->y * q->y)) * kDeg;
  e->pitch = asin(s) * kDeg;
  e->yaw = atan2(2.0 * (q->w * q->z + q->x * q->y), 1.0 - 2.0 * (q->y * q->y + q->z * q->z)) * kDeg;
}

/* r row-major. */
static void matrixFromQuat(const ZtQuaternion* q, double* r) {
  const double w = q->w, x = q->x, y = q->y, z = q->z;
  r[0] = 1 - 2 * (y * y + z * z);
  r[1] = 2 * (x * y - w * z);
  r[2] = 2 * (x * z + w * y);
  r[3] = 2 * (x * y + w * z);
  r[4] = 1 - 2 * (x * x + z * z);
  r[5] = 2 * (y * z - w * x);
  r[6] = 2 * (x * z - w * y);
  r[7] = 2 * (y * z + w * x);
  r[8] = 1 - 2 * (x * x + y * y);
}

static void quatFromMatrix(const double* r, ZtQuaternion* q) {
  const double t = r[0] + r[4] + r[8];
  if (t > 0) {
    const double s = sqrt(t + 1.0) * 2;
    q->w = 0.25 * s;
    q->x = (r[7] - r[5]) / s;
    q->y = (r[2] - r[6]) / s;
    q->z = (r[3] - r[1]) / s;
  } else if (r[0] > r[4] && r[0] > r[8]) {
    const double s = sqrt(1.0 + r[0] - r[4] - r[8]) * 2;
    q->w = (r[7] - r[5]) / s;
    q->x = 0.25 * s;
    q->y = (r[1] + r[3]) / s;
    q->z = (r[2] + r[6]) / s;
  } else if (r[4] > r[8]) {
    const double s = sqrt(1.0 + r[4] - r[0] - r[8]) * 2;
    q->w = (r[2] - r[6]) / s;
    q->x = (r[1] + r[3]) / s;
    q->y = 0.25 * s;
    q->z = (r[5] + r[7]) / s;
  } else {
    const double s = sqrt(1.0 + r[8] - r[0] - r[4]) * 2;
    q->w = (r[3] - r[1]) / s;
    q->x = (r[2] + r[6]) / s;
    q->y = (r[5] + r[7]) / s;
    q->z = 0.25 * s;
  }
}

/* The item stores the matrix column by column. */
static void columnsToRows(const double* c, double* r) {
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col) r[row * 3 + col] = c[col * 3 + row];
}

/* Reads the packet's orientation as a quaternion in the wanted frame; 0 when there is none. */
static int readQuaternion(const ZtDataPacket* p, int frame, ZtQuaternion* q) {
  Item it;
  double v[9];
  q->w = q->x = q->y = q->z = 0.0;
  if (!findItem(p, ZDI_OrientationGroup, kMatchGroup, &it)) return 0;
  const uint16_t type = (uint16_t)(it.id & ZDI_TypeMask);
  if (type == ZDI_Quaternion) {
    getValues(p, ZDI_Quaternion, v, 4, NULL);
    q->w = v[0];
    q->x = v[1];
    q->y = v[2];
    q->z = v[3];
  } else if (type == ZDI_EulerAngles) {
    getValues(p, ZDI_EulerAngles, v, 3, NULL);
    const ZtEuler e = {v[0], v[1], v[2]};
    quatFromEuler(&e, q);
  } else if (type == ZDI_RotationMatrix) {
    double r[9];
    getValues(p, ZDI_RotationMatrix, v, 9, NULL);
    columnsToRows(v, r);
    quatFromMatrix(r, q);
  } else {
    return 0;
  }
  convertQuaternionFrame(q, it.id, frame);
  return 1;
}

static int sameFrame(uint16_t id, int frame) {
  return (frame & ZDI_FrameMask) == 0 || (id & ZDI_FrameMask) == 0 || (id & ZDI_FrameMask) == (frame & ZDI_FrameMask);
}

/* ---- life cycle ---- */

void ZtDataPacket_construct(ZtDataPacket* p) {
  p->deviceId = 0;
  p->packetId = 0;
  p->toa = 0;
  ZtMessage_construct(&p->message);
  ZtMessage_construct(&p->original);
}

void ZtDataPacket_constructCopy(ZtDataPacket* p, const ZtDataPacket* source) {
  p->deviceId = source->deviceId;
  p->packetId = source->packetId;
  p->toa = source->toa;
  ZtMessage_constructCopy(&p->message, &source->message);
  ZtMessage_constructCopy(&p->original, &source->original);
}

void ZtDataPacket_destruct(ZtDataPacket* p) {
  ZtMessage_destruct(&p->message);
  ZtMessage_destruct(&p->original);
}

void ZtDataPacket_copy(ZtDataPacket* p, const ZtDataPacket* source) {
  if (p == source) return;
  p->deviceId = source->deviceId;
  p->packetId = source->packetId;
  p->toa = source->toa;
  ZtMessage_copy(&p->message, &source->message);
  ZtMessage_copy(&p->original, &source->original);
}

void ZtDataPacket_swap(ZtDataPacket* a, ZtDataPacket* b) {
  const ZtDeviceId id = a->deviceId;
  const int64_t packetId = a->packetId;
  const ZtTimeStamp toa = a->toa;
  a->deviceId = b->deviceId;
  a->packetId = b->packetId;
  a->toa = b->toa;
  b->deviceId = id;
  b->packetId = packetId;
  b->toa = toa;
  ZtMessage_swap(&a->message, &b->message);
  ZtMessage_swap(&a->original, &b->original);
}

int ZtDataPacket_empty(const ZtDataPacket* p) { return ZtMessage_empty(&p->message) && ZtMessage_empty(&p->original); }

void ZtDataPacket_clear(ZtDataPacket* p) {
  ZtMessage_clear(&p->message);
  ZtMessage_clear(&p->original);
}

void ZtDataPacket_setMessage(ZtDataPacket* p, const ZtMessage* msg) {
  if (msg != &p->message) ZtMessage_copy(&p->message, msg);
  ZtMessage_clear(&p->original);
}

ZtMessage* ZtDataPacket_originalMessage(const ZtDataPacket* p, ZtMessage* out) {
  const ZtMessage* source = ZtMessage_empty(&p->original) ? &p->message : &p->original;
  if (out != source) ZtMessage_copy(out, source);
  return out;
}

/* Whether target holds an item of the kind of id (well-formed in source). */
static int holdsKind(const ZtDataPacket* target, uint16_t id) {
  const uint16_t type = (uint16_t)(id & ZDI_TypeMask);
  if (!ZtDataIdentifier_info(id)) return ZtDataPacket_itemOffsetExact(target, id) >= 0;
  if ((type & ZDI_GroupMask) == ZDI_OrientationGroup) return ZtDataPacket_containsOrientation(target);
  if (type == ZDI_StatusByte || type == ZDI_StatusWord) return ZtDataPacket_containsStatus(target);
  return hasType(target, type);
}

typedef struct AppendContext {
  ZtDataPacket* target;
  const ZtDataPacket* source;
  int ok;
} AppendContext;

static int appendVisitor(const Item* it, void* context) {
  AppendContext* c = (AppendContext*)context;
  if (!wellFormed(it->id, it->size) || holdsKind(c->target, it->id)) return 0;
  if (appendItem(c->target, it->id, itemBytes(c->source, it), it->size) < 0) {
    c->ok = 0;
    return 1;
  }
  return 0;
}

int ZtDataPacket_append(ZtDataPacket* target, const ZtDataPacket* source) {
  if (target == source) return 1;
  AppendContext c = {target, source, 1};
  forEachItem(source, appendVisitor, &c);
  return c.ok;
}

typedef struct ExactContext {
  uint16_t id;
  long offset;
} ExactContext;

static int exactVisitor(const Item* it, void* context) {
  ExactContext* c = (ExactContext*)context;
  if (it->id != c->id || !wellFormed(it->id, it->size)) return 0;
  c->offset = (long)it->offset;
  return 1;
}

int32_t ZtDataPacket_itemOffsetExact(const ZtDataPacket* p, ZtDataIdentifier id) {
  ExactContext c = {id, -1};
  forEachItem(p, exactVisitor, &c);
  return (int32_t)c.offset;
}

ZtDataIdentifier ZtDataPacket_itemIdentifier(const ZtDataPacket* p, ZtDataIdentifier type) {
  Item it;
  return findItem(p, (uint16_t)(type & ZDI_TypeMask), kMatchType, &it) ? it.id : 0;
}

static int countVisitor(const Item* it, void* context) {
  (void)it;
  ++*(size_t*)context;
  return 0;
}

size_t ZtDataPacket_itemCount(const ZtDataPacket* p) {
  size_t count = 0;
  forEachItem(p, countVisitor, &count);
  return count;
}

size_t ZtDataPacket_getFPValueSize(ZtDataIdentifier id) {
  static const size_t kSize[4] = {4, 4, 6, 8};
  return kSize[id & ZDI_FloatFormMask];
}

/* ---- counters and time ---- */

int ZtDataPacket_containsPacketCounter(const ZtDataPacket* p) { return hasType(p, ZDI_PacketCounter); }
uint16_t ZtDataPacket_packetCounter(const ZtDataPacket* p) {
  const uint8_t* b = getFixed(p, ZDI_PacketCounter, NULL, 0);
  return b ? getU16(b) : 0;
}
int ZtDataPacket_setPacketCounter(ZtDataPacket* p, uint16_t counter) {
  uint8_t b[2];
  putU16(b, counter);
  return setFixed(p, ZDI_PacketCounter, b, 2);
}

int ZtDataPacket_containsPacketCounter8(const ZtDataPacket* p) { return hasType(p, ZDI_PacketCounter8); }
uint8_t ZtDataPacket_packetCounter8(const ZtDataPacket* p) {
  const uint8_t* b = getFixed(p, ZDI_PacketCounter8, NULL, 0);
  return b ? b[0] : 0;
}
int ZtDataPacket_setPacketCounter8(ZtDataPacket* p, uint8_t counter) { return setFixed(p, ZDI_PacketCounter8, &counter, 1); }

int ZtDataPacket_containsSampleTimeFine(const ZtDataPacket* p) { return hasType(p, ZDI_SampleTimeFine); }
uint32_t ZtDataPacket_sampleTimeFine(const ZtDataPacket* p) {
  const uint8_t* b = getFixed(p, ZDI_SampleTimeFine, NULL, 0);
  return b ? getU32(b) : 0;
}
int ZtDataPacket_setSampleTimeFine(ZtDataPacket* p, uint32_t ticks) {
  uint8_t b[4];
  putU32(b, ticks);
  return setFixed(p, ZDI_SampleTimeFine, b, 4);
}

int ZtDataPacket_containsSampleTimeCoarse(const ZtDataPacket* p) { return hasType(p, ZDI_SampleTimeCoarse); }
uint32_t ZtDataPacket_sampleTimeCoarse(const ZtDataPacket* p) {
  const uint8_t* b = getFixed(p, ZDI_SampleTimeCoarse, NULL, 0);
  return b ? getU32(b) : 0;
}
int ZtDataPacket_setSampleTimeCoarse(ZtDataPacket* p, uint32_t seconds) {
  uint8_t b[4];
  putU32(b, seconds);
  return setFixed(p, ZDI_SampleTimeCoarse, b, 4);
}

int ZtDataPacket_containsSampleTime64(const ZtDataPacket* p) {
  return ZtDataPacket_containsSampleTimeFine(p) && ZtDataPacket_containsSampleTimeCoarse(p);
}
uint64_t ZtDataPacket_sampleTime64(const ZtDataPacket* p) {
  if (!ZtDataPacket_containsSampleTime64(p)) return 0;
  return (uint64_t)ZtDataPacket_sampleTimeCoarse(p) * 10000u + ZtDataPacket_sampleTimeFine(p) % 10000u;
}
int ZtDataPacket_setSampleTime64(ZtDataPacket* p, uint64_t ticks) {
  /* Both items must fit before either is written. */
  const size_t extra = (hasType(p, ZDI_SampleTimeFine) ? 0 : 7) + (hasType(p, ZDI_SampleTimeCoarse) ? 0 : 7);
  if (!ensureMessage(p) || !fits(p, extra)) return 0;
  return ZtDataPacket_setSampleTimeFine(p, (uint32_t)(ticks % 864000000u)) &&
         ZtDataPacket_setSampleTimeCoarse(p, (uint32_t)(ticks / 10000u));
}

int ZtDataPacket_containsUtcTime(const ZtDataPacket* p) { return hasType(p, ZDI_UtcTime); }
ZtUtcTime* ZtDataPacket_utcTime(const ZtDataPacket* p, ZtUtcTime* out) {
  const uint8_t* b = getFixed(p, ZDI_UtcTime, out, sizeof *out);
  if (b) {
    out->nano = getU32(b);
    out->year = getU16(b + 4);
    out->month = b[6];
    out->day = b[7];
    out->hour = b[8];
    out->minute = b[9];
    out->second = b[10];
    out->valid = b[11];
  }
  return out;
}
int ZtDataPacket_setUtcTime(ZtDataPacket* p, const ZtUtcTime* utc) {
  uint8_t b[12];
  putU32(b, utc->nano);
  putU16(b + 4, utc->year);
  b[6] = utc->month;
  b[7] = utc->day;
  b[8] = utc->hour;
  b[9] = utc->minute;
  b[10] = utc->second;
  b[11] = utc->valid;
  return setFixed(p, ZDI_UtcTime, b, sizeof b);
}

int ZtDataPacket_containsFrameRange(const ZtDataPacket* p) { return hasType(p, ZDI_FrameRange); }
ZtRange* ZtDataPacket_frameRange(const ZtDataPacket* p, ZtRange* out) {
  const uint8_t* b = getFixed(p, ZDI_FrameRange, out, sizeof *out);
  if (b) {
    out->first = (int32_t)getU32(b);
    out->last = (int32_t)getU32(b + 4);
  }
  return out;
}
int ZtDataPacket_setFrameRange(ZtDataPacket* p, const ZtRange* range) {
  uint8_t b[8];
  putU32(b, (uint32_t)range->first);
  putU32(b + 4, (uint32_t)range->last);
  return setFixed(p, ZDI_FrameRange, b, sizeof b);
}

/* ---- raw data ---- */

int ZtDataPacket_containsRawData(const ZtDataPacket* p) { return hasType(p, ZDI_RawSensorData); }
ZtScrData* ZtDataPacket_rawData(const ZtDataPacket* p, ZtScrData* out) {
  static const uint16_t types[2] = {ZDI_RawSensorData, ZDI_RawGyroTemperatures};
  Item items[2];
  int found[2];
  memset(out, 0, sizeof *out);
  findTypes(p, types, 2, items, found);
  if (!found[0]) return out;
  const uint8_t* b = itemBytes(p, &items[0]);
  for (int i = 0; i < 3; ++i) {
    out->acc[i] = getU16(b + 2 * i);
    out->gyr[i] = getU16(b + 6 + 2 * i);
    out->mag[i] = getU16(b + 12 + 2 * i);
  }
  out->temp[0] = getU16(b + 18);
  if (found[1]) {
    const uint8_t* g = itemBytes(p, &items[1]);
    for (int i = 0; i < 3; ++i) out->temp[1 + i] = getU16(g + 2 * i);
  }
  return out;
}
int ZtDataPacket_setRawData(ZtDataPacket* p, const ZtScrData* raw) {
  uint8_t b[20];
  for (int i = 0; i < 3; ++i) {
    putU16(b + 2 * i, raw->acc[i]);
    putU16(b + 6 + 2 * i, raw->gyr[i]);
    putU16(b + 12 + 2 * i, raw->mag[i]);
  }
  putU16(b + 18, raw->temp[0]);
  return setFixed(p, ZDI_RawSensorData, b, sizeof b);
}

int ZtDataPacket_containsRawGyroscopeTemperatures(const ZtDataPacket* p) { return hasType(p, ZDI_RawGyroTemperatures); }
uint16_t* ZtDataPacket_rawGyroscopeTemperatures(const ZtDataPacket* p, uint16_t out[3]) {
  const uint8_t* b = getFixed(p, ZDI_RawGyroTemperatures, out, 3 * sizeof *out);
  if (b)
    for (int i = 0; i < 3; ++i) out[i] = getU16(b + 2 * i);
  return out;
}
int ZtDataPacket_setRawGyroscopeTemperatures(ZtDataPacket* p, const uint16_t temps[3]) {
  uint8_t b[6];
  for (int i = 0; i < 3; ++i) putU16(b + 2 * i, temps[i]);
  return setFixed(p, ZDI_RawGyroTemperatures, b, sizeof b);
}

/* ---- calibrated data ---- */

static ZtVector* getVector(const ZtDataPacket* p, uint16_t type, ZtVector* out) {
  double v[3];
  getValues(p, type, v, 3, NULL);
  return vectorOut(out, v);
}
static int setVector(ZtDataPacket* p, uint16_t type, const ZtVector* v) {
  return vectorIn(v) && setValues(p, type, v->data, 3, -1, 0, 0);
}

static const uint16_t kCalibratedTypes[3] = {ZDI_Acceleration, ZDI_RateOfTurn, ZDI_MagneticField};

int ZtDataPacket_containsCalibratedData(const ZtDataPacket* p) {
  Item items[3];
  int found[3];
  findTypes(p, kCalibratedTypes, 3, items, found);
  return found[0] && found[1] && found[2];
}
ZtCalibratedData* ZtDataPacket_calibratedData(const ZtDataPacket* p, ZtCalibratedData* out) {
  Item items[3];
  int found[3];
  findTypes(p, kCalibratedTypes, 3, items, found);
  readItemValues(p, found[0] ? &items[0] : NULL, out->acc, 3);
  readItemValues(p, found[1] ? &items[1] : NULL, out->gyr, 3);
  readItemValues(p, found[2] ? &items[2] : NULL, out->mag, 3);
  return out;
}
int ZtDataPacket_setCalibratedData(ZtDataPacket* p, const ZtCalibratedData* data) {
  const double* values[3] = {data->acc, data->gyr, data->mag};
  static const size_t counts[3] = {3, 3, 3};
  return setValueSet(p, kCalibratedTypes, values, counts, 3);
}

int ZtDataPacket_containsCalibratedAcceleration(const ZtDataPacket* p) { return hasType(p, ZDI_Acceleration); }
ZtVector* ZtDataPacket_calibratedAcceleration(const ZtDataPacket* p, ZtVector* out) {
  return getVector(p, ZDI_Acceleration, out);
}
int ZtDataPacket_setCalibratedAcceleration(ZtDataPacket* p, const ZtVector* v) { return setVector(p, ZDI_Acceleration, v); }

int ZtDataPacket_containsCalibratedRateOfTurn(const ZtDataPacket* p) { return hasType(p, ZDI_RateOfTurn); }
ZtVector* ZtDataPacket_calibratedRateOfTurn(const ZtDataPacket* p, ZtVector* out) { return getVector(p, ZDI_RateOfTurn, out); }
int ZtDataPacket_setCalibratedRateOfTurn(ZtDataPacket* p, const ZtVector* v) { return setVector(p, ZDI_RateOfTurn, v); }

int ZtDataPacket_containsCalibratedMagneticField(const ZtDataPacket* p) { return hasType(p, ZDI_MagneticField); }
ZtVector* ZtDataPacket_calibratedMagneticField(const ZtDataPacket* p, ZtVector* out) {
  return getVector(p, ZDI_MagneticField, out);
}
int ZtDataPacket_setCalibratedMagneticField(ZtDataPacket* p, const ZtVector* v) { return setVector(p, ZDI_MagneticField, v); }

int ZtDataPacket_containsFreeAcceleration(const ZtDataPacket* p) { return hasType(p, ZDI_FreeAcceleration); }
ZtVector* ZtDataPacket_freeAcceleration(const ZtDataPacket* p, ZtVector* out) { return getVector(p, ZDI_FreeAcceleration, out); }
int ZtDataPacket_setFreeAcceleration(ZtDataPacket* p, const ZtVector* v) { return setVector(p, ZDI_FreeAcceleration, v); }

/* ---- orientation ---- */

/* The group holds exactly the three orientation forms. */
int ZtDataPacket_containsOrientation(const ZtDataPacket* p) { return findItem(p, ZDI_OrientationGroup, kMatchGroup, NULL); }
int ZtDataPacket_containsOrientationQuaternion(const ZtDataPacket* p) { return hasType(p, ZDI_Quaternion); }
int ZtDataPacket_containsOrientationEuler(const ZtDataPacket* p) { return hasType(p, ZDI_EulerAngles); }
int ZtDataPacket_containsOrientationMatrix(const ZtDataPacket* p) { return hasType(p, ZDI_RotationMatrix); }

int ZtDataPacket_orientationFrame(const ZtDataPacket* p) {
  Item it;
  return findItem(p, ZDI_OrientationGroup, kMatchGroup, &it) ? (it.id & ZDI_FrameMask) : 0;
}

ZtQuaternion* ZtDataPacket_orientationQuaternion(const ZtDataPacket* p, int frame, ZtQuaternion* out) {
  readQuaternion(p, frame, out);
  return out;
}

ZtEuler* ZtDataPacket_orientationEuler(const ZtDataPacket* p, int frame, ZtEuler* out) {
  double v[3];
  uint16_t id;
  if (getValues(p, ZDI_EulerAngles, v, 3, &id) && sameFrame(id, frame)) {
    out->roll = v[0];
    out->pitch = v[1];
    out->yaw = v[2];
    return out;
  }
  ZtQuaternion q;
  if (readQuaternion(p, frame, &q))
    eulerFromQuat(&q, out);
  else
    out->roll = out->pitch = out->yaw = 0.0;
  return out;
}

ZtMatrix* ZtDataPacket_orientationMatrix(const ZtDataPacket* p, int frame, ZtMatrix* out) {
  double c[9], r[9];
  uint16_t id;
  if (getValues(p, ZDI_RotationMatrix, c, 9, &id) && sameFrame(id, frame)) {
    columnsToRows(c, r);
  } else {
    ZtQuaternion q;
    if (readQuaternion(p, frame, &q))
      matrixFromQuat(&q, r);
    else
      memset(r, 0, sizeof r);
  }
  if (!out) return NULL;
  return ZtMatrix_assign(out, 3, 3, 0, r) == 0 ? out : NULL;
}

int ZtDataPacket_setOrientationQuaternion(ZtDataPacket* p, const ZtQuaternion* q, int frame) {
  const double v[4] = {q->w, q->x, q->y, q->z};
  return setValues(p, ZDI_Quaternion, v, 4, frame, ZDI_OrientationGroup, kMatchGroup);
}

int ZtDataPacket_setOrientationEuler(ZtDataPacket* p, const ZtEuler* e, int frame) {
  const double v[3] = {e->roll, e->pitch, e->yaw};
  return setValues(p, ZDI_EulerAngles, v, 3, frame, ZDI_OrientationGroup, kMatchGroup);
}

int ZtDataPacket_setOrientationMatrix(ZtDataPacket* p, const ZtMatrix* m, int frame) {
  if (!m || !m->data || m->rows < 3 || m->cols < 3) return 0;
  double c[9];
  for (size_t row = 0; row < 3; ++row)
    for (size_t col = 0; col < 3; ++col) c[col * 3 + row] = m->data[row * m->stride + col];
  return setValues(p, ZDI_RotationMatrix, c, 9, frame, ZDI_OrientationGroup, kMatchGroup);
}

/* ---- SDI ---- */

static const uint16_t kSdiTypes[2] = {ZDI_DeltaQ, ZDI_DeltaV};

int ZtDataPacket_containsSdiData(const ZtDataPacket* p) {
  Item items[2];
  int found[2];
  findTypes(p, kSdiTypes, 2, items, found);
  return found[0] && found[1];
}
ZtSdiData* ZtDataPacket_sdiData(const ZtDataPacket* p, ZtSdiData* out) {
  Item items[2];
  int found[2];
  findTypes(p, kSdiTypes, 2, items, found);
  double q[4];
  readItemValues(p, found[0] ? &items[0] : NULL, q, 4);
  out->orientationIncrement.w = q[0];
  out->orientationIncrement.x = q[1];
  out->orientationIncrement.y = q[2];
  out->orientationIncrement.z = q[3];
  readItemValues(p, found[1] ? &items[1] : NULL, out->velocityIncrement, 3);
  return out;
}
int ZtDataPacket_setSdiData(ZtDataPacket* p, const ZtSdiData* sdi) {
  const double q[4] = {sdi->orientationIncrement.w, sdi->orientationIncrement.x, sdi->orientationIncrement.y,
                       sdi->orientationIncrement.z};
  const double* values[2] = {q, sdi->velocityIncrement};
  static const size_t counts[2] = {4, 3};
  return setValueSet(p, kSdiTypes, values, counts, 2);
}

/* ---- position and velocity ---- */

int ZtDataPacket_containsPositionLLA(const ZtDataPacket* p) { return hasType(p, ZDI_PositionLla); }
ZtVector* ZtDataPacket_positionLLA(const ZtDataPacket* p, ZtVector* out) { return getVector(p, ZDI_PositionLla, out); }
int ZtDataPacket_setPositionLLA(ZtDataPacket* p, const ZtVector* lla) { return setVector(p, ZDI_PositionLla, lla); }

int ZtDataPacket_containsVelocity(const ZtDataPacket* p) { return hasType(p, ZDI_VelocityXYZ); }
int ZtDataPacket_velocityFrame(const ZtDataPacket* p) {
  Item it;
  return findItem(p, ZDI_VelocityXYZ, kMatchType, &it) ? (it.id & ZDI_FrameMask) : 0;
}
ZtVector* ZtDataPacket_velocity(const ZtDataPacket* p, int frame, ZtVector* out) {
  double v[3];
  uint16_t id;
  if (getValues(p, ZDI_VelocityXYZ, v, 3, &id)) convertVectorFrame(v, id, frame);
  return vectorOut(out, v);
}
int ZtDataPacket_setVelocity(ZtDataPacket* p, const ZtVector* v, int frame) {
  return vectorIn(v) && setValues(p, ZDI_VelocityXYZ, v->data, 3, frame, 0, 0);
}

/* ---- status ---- */

static const uint16_t kStatusTypes[2] = {ZDI_StatusWord, ZDI_StatusByte};

int ZtDataPacket_containsStatus(const ZtDataPacket* p) {
  Item items[2];
  int found[2];
  findTypes(p, kStatusTypes, 2, items, found);
  return found[0] || found[1];
}
int ZtDataPacket_containsDetailedStatus(const ZtDataPacket* p) { return hasType(p, ZDI_StatusWord); }
uint32_t ZtDataPacket_status(const ZtDataPacket* p) {
  Item items[2];
  int found[2];
  findTypes(p, kStatusTypes, 2, items, found);
  if (found[0]) return getU32(itemBytes(p, &items[0]));
  return found[1] ? itemBytes(p, &items[1])[0] : 0;
}
uint8_t ZtDataPacket_statusByte(const ZtDataPacket* p) {
  Item items[2];
  int found[2];
  findTypes(p, kStatusTypes, 2, items, found);
  if (found[1]) return itemBytes(p, &items[1])[0];
  return found[0] ? itemBytes(p, &items[0])[3] : 0;
}

/* The status byte and the status word replace each other. */
static int setStatusItem(ZtDataPacket* p, uint16_t type, uint16_t other, const uint8_t* b, uint8_t size) {
  Scan s;
  scanItems(p, type, kMatchExact, other, kMatchExact, &s);
  if (!s.found) {
    if (!ensureMessage(p) || ZtMessage_dataSize(&p->message) - s.removable + kHeaderSize + size > (size_t)ZTMESSAGE_MAX_DATA_SIZE)
      return 0;
  }
  if (!s.removable) return writeFixed(p, &s, type, b, size);
  removeItems(p, other, kMatchExact, (size_t)-1);
  return setFixed(p, type, b, size);
}
int ZtDataPacket_setStatus(ZtDataPacket* p, uint32_t status) {
  uint8_t b[4];
  putU32(b, status);
  return setStatusItem(p, ZDI_StatusWord, ZDI_StatusByte, b, 4);
}
int ZtDataPacket_setStatusByte(ZtDataPacket* p, uint8_t status) {
  return setStatusItem(p, ZDI_StatusByte, ZDI_StatusWord, &status, 1);
}

/* ---- pressure, GNSS ---- */

int ZtDataPacket_containsPressure(const ZtDataPacket* p) { return hasType(p, ZDI_Pressure); }
ZtPressure* ZtDataPacket_pressure(const ZtDataPacket* p, ZtPressure* out) {
  const uint8_t* b = getFixed(p, ZDI_Pressure, out, sizeof *out);
  if (b) {
    out->pressure = (double)getU32(b);
    out->pressureAge = b[4];
  }
  return out;
}
int ZtDataPacket_setPressure(ZtDataPacket* p, const ZtPressure* pressure) {
  uint8_t b[5];
  const double v = pressure->pressure;
  uint32_t pascal = 0;
  if (v >= 4294967295.0)
    pascal = 0xFFFFFFFFu;
  else if (v > 0.0) /* also false for NaN */
    pascal = (uint32_t)(v + 0.5);
  putU32(b, pascal);
  b[4] = pressure->pressureAge;
  return setFixed(p, ZDI_Pressure, b, sizeof b);
}

int ZtDataPacket_containsGpsPvtData(const ZtDataPacket* p) { return hasType(p, ZDI_GnssPvtData); }
ZtGpsPvtData* ZtDataPacket_gpsPvtData(const ZtDataPacket* p, ZtGpsPvtData* out) {
  const uint8_t* b = getFixed(p, ZDI_GnssPvtData, out, sizeof *out);
  if (b) {
    out->pressure = getU16(b);
    out->pressureAge = b[2];
    out->itow = getU32(b + 3);
    out->latitude = (int32_t)getU32(b + 7);
    out->longitude = (int32_t)getU32(b + 11);
    out->height = (int32_t)getU32(b + 15);
    out->velN = (int32_t)getU32(b + 19);
    out->velE = (int32_t)getU32(b + 23);
    out->velD = (int32_t)getU32(b + 27);
    out->hAcc = getU32(b + 31);
    out->vAcc = getU32(b + 35);
    out->sAcc = getU32(b + 39);
    out->gpsAge = b[43];
  }
  return out;
}
int ZtDataPacket_setGpsPvtData(ZtDataPacket* p, const ZtGpsPvtData* pvt) {
  uint8_t b[44];
  putU16(b, pvt->pressure);
  b[2] = pvt->pressureAge;
  putU32(b + 3, pvt->itow);
  putU32(b + 7, (uint32_t)pvt->latitude);
  putU32(b + 11, (uint32_t)pvt->longitude);
  putU32(b + 15, (uint32_t)pvt->height);
  putU32(b + 19, (uint32_t)pvt->velN);
  putU32(b + 23, (uint32_t)pvt->velE);
  putU32(b + 27, (uint32_t)pvt->velD);
  putU32(b + 31, pvt->hAcc);
  putU32(b + 35, pvt->vAcc);
  putU32(b + 39, pvt->sAcc);
  b[43] = pvt->gpsAge;
  return setFixed(p, ZDI_GnssPvtData, b, sizeof b);
}

int ZtDataPacket_containsRawGpsSol(const ZtDataPacket* p) { return hasType(p, ZDI_RawGnssSolution); }
ZtRawGpsSol* ZtDataPacket_rawGpsSol(const ZtDataPacket* p, ZtRawGpsSol* out) {
  const uint8_t* b = getFixed(p, ZDI_RawGnssSolution, out, sizeof *out);
  if (b) {
    out->itow = getU32(b);
    out->fixType = b[4];
    out->flags = b[5];
    out->ecefX = (int32_t)getU32(b + 6);
    out->ecefY = (int32_t)getU32(b + 10);
    out->ecefZ = (int32_t)getU32(b + 14);
    out->pAcc = getU32(b + 18);
    out->ecefVX = (int32_t)getU32(b + 22);
    out->ecefVY = (int32_t)getU32(b + 26);
    out->ecefVZ = (int32_t)getU32(b + 30);
    out->sAcc = getU32(b + 34);
    out->pDop = getU16(b + 38);
    out->numSv = b[40];
  }
  return out;
}
int ZtDataPacket_setRawGpsSol(ZtDataPacket* p, const ZtRawGpsSol* sol) {
  uint8_t b[41];
  putU32(b, sol->itow);
  b[4] = sol->fixType;
  b[5] = sol->flags;
  putU32(b + 6, (uint32_t)sol->ecefX);
  putU32(b + 10, (uint32_t)sol->ecefY);
  putU32(b + 14, (uint32_t)sol->ecefZ);
  putU32(b + 18, sol->pAcc);
  putU32(b + 22, (uint32_t)sol->ecefVX);
  putU32(b + 26, (uint32_t)sol->ecefVY);
  putU32(b + 30, (uint32_t)sol->ecefVZ);
  putU32(b + 34, sol->sAcc);
  putU16(b + 38, sol->pDop);
  b[40] = sol->numSv;
  return setFixed(p, ZDI_RawGnssSolution, b, sizeof b);
}

/* ---- rssi, temperature, triggers ---- */

int ZtDataPacket_containsRssi(const ZtDataPacket* p) { return hasType(p, ZDI_Rssi); }
int8_t ZtDataPacket_rssi(const ZtDataPacket* p) {
  const uint8_t* b = getFixed(p, ZDI_Rssi, NULL, 0);
  return b ? (int8_t)b[0] : 0;
}
int ZtDataPacket_setRssi(ZtDataPacket* p, int8_t rssi) {
  const uint8_t b = (uint8_t)rssi;
  return setFixed(p, ZDI_Rssi, &b, 1);
}

int ZtDataPacket_containsTemperature(const ZtDataPacket* p) { return hasType(p, ZDI_Temperature); }
double ZtDataPacket_temperature(const ZtDataPacket* p) {
  double v;
  getValues(p, ZDI_Temperature, &v, 1, NULL);
  return v;
}
int ZtDataPacket_setTemperature(ZtDataPacket* p, double celsius) {
  return setValues(p, ZDI_Temperature, &celsius, 1, -1, 0, 0);
}

static int isTriggerId(ZtDataIdentifier id) { return id == ZDI_TriggerIndication1 || id == ZDI_TriggerIndication2; }

int ZtDataPacket_containsTriggerIndication(const ZtDataPacket* p, ZtDataIdentifier id) {
  return isTriggerId(id) && hasType(p, id);
}
ZtTriggerIndicationData* ZtDataPacket_triggerIndication(const ZtDataPacket* p, ZtDataIdentifier id,
                                                        ZtTriggerIndicationData* out) {
  if (!isTriggerId(id)) {
    memset(out, 0, sizeof *out);
    return out;
  }
  const uint8_t* b = getFixed(p, id, out, sizeof *out);
  if (b) {
    out->type = b[0];
    out->line = b[1];
    out->timestamp = getU32(b + 2);
    out->frameNumber = getU16(b + 6);
  }
  return out;
}
int ZtDataPacket_setTriggerIndication(ZtDataPacket* p, ZtDataIdentifier id, const ZtTriggerIndicationData* trigger) {
  if (!isTriggerId(id)) return 0;
  uint8_t b[8];
  b[0] = trigger->type;
  b[1] = trigger->line;
  putU32(b + 2, trigger->timestamp);
  putU16(b + 6, trigger->frameNumber);
  return setFixed(p, id, b, sizeof b);
}
