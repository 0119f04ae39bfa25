/* A C99 client of the device library's interface conventions, run against the shared object:
 * out-objects come back as the pointer passed in, flags other than 0 mean true and come back as
 * 1, _destruct takes null, the static forms need no control, and the library functions behave as
 * documented. Argument: an empty scratch directory. Prints each failed check; the exit status is
 * the number of failures. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zeltodeviceapi/zeltodeviceapi.h"

static int failures = 0;

#define CHECK(expr)                                           \
  do {                                                        \
    if (!(expr)) {                                            \
      printf("FAIL line %d: %s\n", __LINE__, #expr);          \
      ++failures;                                             \
    }                                                         \
  } while (0)

static int fileExists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

static void staticForms(void) {
  ZtVersion v, w;
  ZtString s;
  memset(&v, 0xAB, sizeof v);
  CHECK(ZtControl_version(&v) == &v);
  CHECK(v.major == 4 && v.minor == 1 && v.revision == 0 && v.build == 0 && v.text[0] == '\0');
  memset(&w, 0xCD, sizeof w);
  zdaDllVersion(&w);
  CHECK(memcmp(&v, &w, sizeof v) == 0);
  zdaDllVersion(NULL); /* ignored */

  ZtString_construct(&s, "not empty");
  CHECK(ZtControl_libraryPath(&s) == &s);
  CHECK(ZtString_empty(&s));
  ZtString_assignCharArray(&s, "x");
  zdaDllPath(&s);
  CHECK(ZtString_empty(&s));
  CHECK(ZtControl_resultText(&s, ZRV_PORTCLOSED) == &s);
  CHECK(strcmp(ZtString_c_str(&s), ZtResultValue_toString(ZRV_PORTCLOSED)) == 0 && !ZtString_empty(&s));
  ZtString_destruct(&s);
}

static void controlConventions(void) {
  ZtControl* c = ZtControl_construct();
  ZtString s, port;
  ZtDeviceIdArray ids;
  ZtDevicePtrArray devices;
  ZtDeviceId id = 0x12345678u, prefill = 7u;
  ZtVector lla;
  const double values[3] = {52.0, 6.9, 30.0};
  int rs485One, rs485Two;
  ZtResultValue resultOne, resultTwo;

  CHECK(c != NULL);
  if (!c) return;
  ZtControl_destruct(NULL); /* nothing */

  /* Flags: 2 is true and reads back as 1. */
  ZtControl_setOptionEnabled(c, ZO_SoftwareFiltering, 2);
  CHECK(ZtControl_isOptionEnabled(c, ZO_SoftwareFiltering) == 1);
  ZtControl_setOptionEnabled(c, ZO_SoftwareFiltering, 0);
  CHECK(ZtControl_isOptionEnabled(c, ZO_SoftwareFiltering) == 0);
  ZtControl_setOptionEnabled(c, ZO_SoftwareCalibration, -1);
  CHECK(ZtControl_isOptionEnabled(c, ZO_SoftwareCalibration) == 1);

  ZtControl_setQueueMode(c, ZQM_LatestOnly);
  CHECK(ZtControl_queueMode(c) == ZQM_LatestOnly);

  /* The broadcast id gives the broadcast device, even with no device open. */
  CHECK(ZtControl_broadcast(c) != NULL);
  CHECK(ZtControl_device(c, 0x80000000u) == ZtControl_broadcast(c));
  /* Any other id on an empty list: null, last result 289. */
  CHECK(ZtControl_device(c, 0x00125678u) == NULL);
  CHECK(ZtControl_lastResult(c) == ZRV_PORTCLOSED);
  ZtString_construct(&s, "");
  CHECK(ZtControl_lastResultText(c, &s) == &s);
  CHECK(strcmp(ZtString_c_str(&s), ZtResultValue_toString(ZRV_PORTCLOSED)) == 0);

  /* Counts and id lists of an empty control; a prefilled list comes back emptied. */
  CHECK(ZtControl_mainDeviceCount(c) == 0 && ZtControl_deviceCount(c) == 0 && ZtControl_ktCount(c) == 0);
  ZtArray_construct(ZTARRAY(&ids), &g_ztUInt32ArrayDescriptor, 1, &prefill);
  CHECK(ZtControl_deviceIds(c, &ids) == &ids && ids.size == 0);
  ZtArray_assign(ZTARRAY(&ids), 1, &prefill);
  CHECK(ZtControl_mainDeviceIds(c, &ids) == &ids && ids.size == 0);
  ZtArray_assign(ZTARRAY(&ids), 1, &prefill);
  CHECK(ZtControl_ktDeviceIds(c, &ids) == &ids && ids.size == 0);
  ZtArray_destruct(ZTARRAY(&ids));
  ZtDevicePtrArray_construct(&devices, 0, NULL);
  CHECK(ZtControl_mainDevices(c, &devices) == &devices && devices.size == 0);
  ZtArray_destruct(ZTARRAY(&devices));
  CHECK(ZtControl_getDeviceIdFromLocationId(c, &id, 0x10005) == &id && id == 0);
  CHECK(ZtControl_isDeviceWireless(c, 0x00125678u) == 0);

  /* latitude, longitude, altitude: three values needed. */
  ZtVector_construct(&lla, 2, values);
  CHECK(ZtControl_setLatLonAlt(c, &lla) == 0 && ZtControl_lastResult(c) == ZRV_INVALIDPARAM);
  ZtVector_assign(&lla, 3, values);
  CHECK(ZtControl_setLatLonAlt(c, &lla) == 1);
  ZtVector_destruct(&lla);

  /* detectRs485 = 2 is taken as 1: the same failure on a port that does not exist. */
  ZtString_construct(&port, "/nonexistent/ttyZDA0");
  rs485One = ZtControl_openPort(c, &port, 0, 0, 1);
  resultOne = ZtControl_lastResult(c);
  rs485Two = ZtControl_openPort(c, &port, 0, 0, 2);
  resultTwo = ZtControl_lastResult(c);
  CHECK(rs485One == 0 && rs485Two == 0);
  CHECK(resultOne == resultTwo && resultOne != ZRV_OK);
  ZtString_destruct(&port);

  /* The broadcast device answers through the device functions too. */
  ZtString_assignCharArray(&s, "prefilled");
  CHECK(ZtDevice_portName(ZtControl_broadcast(c), &s) == &s);
  CHECK(ZtDevice_isMotionTracker(ZtControl_broadcast(c)) == 0);
  ZtString_destruct(&s);

  ZtControl_close(c);
  CHECK(ZtControl_lastResult(c) == ZRV_OK);
  ZtControl_destruct(c);
}

static void logPath(const char* dir) {
  char path[1024];
  ZtString p;
  /* A directory: the journal is <dir>/zda.log. */
  snprintf(path, sizeof path, "%s/", dir);
  ZtString_construct(&p, path);
  zdaSetLogPath(&p);
  snprintf(path, sizeof path, "%s/zda.log", dir);
  CHECK(fileExists(path));
  /* The empty path: zda.log in the working directory. */
  snprintf(path, sizeof path, "%s/work", dir);
  CHECK(mkdir(path, 0700) == 0 && chdir(path) == 0);
  ZtString_assignCharArray(&p, "");
  zdaSetLogPath(&p);
  CHECK(fileExists("zda.log"));
  /* Through the control: the same function with a file-name prefix. */
  {
    ZtControl* c = ZtControl_construct();
    snprintf(path, sizeof path, "%s/ctl-", dir);
    ZtString_assignCharArray(&p, path);
    ZtControl_setLogPath(c, &p);
    snprintf(path, sizeof path, "%s/ctl-zda.log", dir);
    CHECK(fileExists(path));
    ZtControl_destruct(c);
  }
  ZtString_destruct(&p);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    printf("usage: c_interface_client <scratch directory>\n");
    return 100;
  }
  staticForms();
  controlConventions();
  logPath(argv[1]);
  if (failures == 0) printf("all checks passed\n");
  return failures;
}
