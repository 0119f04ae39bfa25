// Raw frame bytes from the wire or a file: load, then exercise every getter and the
// payload mutators; nothing may read or write outside the frame.
#include <stddef.h>
#include <stdint.h>

#include "zttypes/ztmessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ZtMessage m;
  ZtMessage_construct(&m);
  if (ZtMessage_load(&m, size, data)) {
    const size_t n = ZtMessage_dataSize(&m);
    volatile uint32_t sink = ZtMessage_isChecksumOk(&m);
    for (size_t off = 0; off <= n + 8; off += 3) {
      sink = sink + ZtMessage_getDataByte(&m, off) + ZtMessage_getDataShort(&m, off) + ZtMessage_getDataLong(&m, off);
      double v[3];
      ZtMessage_getDataFPValues(&m, static_cast<uint32_t>(off & 0x300), v, off, 3);
    }
    // An in-place edit first: it alone must leave the checksum right, even on a frame that
    // was loaded with a wrong one.
    ZtMessage_setBusId(&m, static_cast<uint8_t>(size));
    if (!ZtMessage_isChecksumOk(&m)) __builtin_trap();
    ZtMessage_insertData(&m, 3, n / 2);
    ZtMessage_deleteData(&m, 5, n / 3);
    ZtMessage_setDataLong(&m, 0xDEADBEEF, n);
    (void)sink;
    if (!ZtMessage_isChecksumOk(&m)) __builtin_trap();  // mutators keep the checksum right
  }
  ZtMessage_destruct(&m);
  return 0;
}
