/* A plain C99 client of the companion library: the headers must compile with a strict C99
 * compiler, and the functions must link by their C names. Returns 0 when every check holds. */
#include <string.h>

#include "zttypes/zttypes.h"

static int checkString(void) {
  ZtString s;
  ZtString_construct(&s, "ab");
  ZtString_appendCharArray(&s, "cd");
  int ok = s.size == 5 && strcmp(ZtString_c_str(&s), "abcd") == 0;
  ZtString_destruct(&s);
  return ok;
}

static int checkMessage(void) {
  ZtMessage m;
  ZtMessage_constructSized(&m, 4);
  ZtMessage_setMessageId(&m, 0x30);
  ZtMessage_setDataLong(&m, 0x01020304u, 0);
  int ok = ZtMessage_isChecksumOk(&m) && ZtMessage_getDataLong(&m, 0) == 0x01020304u &&
           ZtMessage_getTotalMessageSize(&m) == 9 && ZtMessage_getConstHeader(&m)->messageId == 0x30;
  ZtMessage_destruct(&m);
  return ok;
}

static int checkRecords(void) {
  ZtDoubleArray a;
  const double values[2] = {1.0, 2.0};
  ZtVector v;
  ZtRange r;
  ZtSyncSetting sync;
  int ok;
  ZtArray_construct(ZTARRAY(&a), &g_ztDoubleArrayDescriptor, 2, values);
  ZtVector_construct(&v, 2, values);
  r.first = 3;
  r.last = 5;
  memset(&sync, 0, sizeof sync);
  sync.line = 8;
  ok = a.size == 2 && a.data[1] == 2.0 && ZtVector_dotProduct(&v, &v) == 5.0 && ZtRange_count(&r) == 3 &&
       ZtSyncSetting_isOutput(&sync) && sizeof(ZtSyncSetting) == 28 && sizeof(ZtPortInfo) == 264 &&
       ZtResultValue_toString(ZRV_OK)[0] != '\0' && ZtQuaternion_identity()->w == ZtMath_one;
  ZtVector_destruct(&v);
  ZtArray_destruct(ZTARRAY(&a));
  return ok;
}

int main(void) {
  ZtTime_initializeTime();
  return (checkString() && checkMessage() && checkRecords()) ? 0 : 1;
}
