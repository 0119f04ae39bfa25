/* tracker_demo: the C interface end to end, as a guide for wiring a real tracker.
 *
 *   tracker_demo [port|-] [seconds] [log file]
 *
 * port      the serial port of the tracker (/dev/ttyUSB0, a pseudo-terminal of the device
 *           emulator ...). "-" or no argument scans every serial and USB port instead.
 * seconds   how long to measure, and then how long to record (default 5).
 * log file  where the recording goes (default tracker_demo.log); it is replayed afterwards and
 *           the replayed packet count must equal the recorded one.
 *
 * The steps: find the tracker, open it, configure it, measure (printing the orientation once a
 * second), record into the log file, close the port and replay the file. A tracker whose
 * orientation the library computes on the host (a host-filtered tracker) is set to send raw
 * sensor data with its status and no orientation of its own: every packet then carries the host
 * filter's quaternion. Other trackers are asked for their own quaternion output.
 *
 * Wiring a real tracker:
 * - Permissions: serial ports belong to the group "dialout" on most distributions (add the user:
 *   sudo usermod -aG dialout $USER, then log in again); USB devices opened through libusb need
 *   a udev rule that gives the user access to the device node.
 * - Baud rate: the trackers ship at 115200 bit/s. A scan with rate 0 tries the usual rates, so
 *   it finds a tracker that was set to another one; ZtControl_openPort takes the rate the scan
 *   found (a ZtPortInfo carries it).
 * - Scanning lists real serial and USB ports only; pseudo-terminals (the emulator's) are not
 *   listed, so name the port and it is probed alone (ZtScanner_scanPort).
 *
 * Exit status: 0 when every step worked; 1 when a step failed (the failing step and the
 * library's last result are printed) or when a live packet that arrived more than a second after
 * the first one carried no orientation. Plain C99 with POSIX clocks. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zeltodeviceapi/zeltodeviceapi.h"

/* The handler table comes first, so the library's pointer to it is a pointer to the whole
 * record. The library calls it on its own threads: the counters are guarded by a mutex. */
typedef struct Handler {
  ZtCallbackPlainC callbacks;
  pthread_mutex_t mutex;
  pthread_cond_t loaded; /* signalled when a log file has been read to its end */
  int loadDone;
  long packets;
  long quaternions;
  long written; /* data messages written into the log file */
  ZtQuaternion last;
  int live;          /* packets come from a port (not a replay): the orientation check applies */
  double firstSeen;  /* arrival of the first live packet, 0 before it */
  long missing;      /* live packets after the first second without orientation */
} Handler;

static double now(void);

static void onDataAvailable(ZtCallbackPlainC* cb, ZtDevice* device, const ZtDataPacket* packet) {
  Handler* h = (Handler*)cb;
  ZtQuaternion q;
  int hasQuaternion = ZtDataPacket_containsOrientationQuaternion(packet);
  double t = now();
  (void)device;
  if (hasQuaternion) ZtDataPacket_orientationQuaternion(packet, 0, &q);
  pthread_mutex_lock(&h->mutex);
  ++h->packets;
  if (hasQuaternion) {
    ++h->quaternions;
    h->last = q;
  }
  if (h->live) {
    if (h->firstSeen == 0.0) h->firstSeen = t;
    /* The filter needs its first samples; after a second every packet must be oriented. */
    if (!hasQuaternion && t - h->firstSeen > 1.0) ++h->missing;
  }
  pthread_mutex_unlock(&h->mutex);
}

/* Progress of a log file being read: 100 of 100 when it has been read to its end (every packet
 * in it has been delivered by then). */
static void onProgressUpdated(ZtCallbackPlainC* cb, ZtDevice* device, int current, int total, const ZtString* what) {
  Handler* h = (Handler*)cb;
  (void)device;
  (void)what;
  if (current < total) return;
  pthread_mutex_lock(&h->mutex);
  h->loadDone = 1;
  pthread_cond_broadcast(&h->loaded);
  pthread_mutex_unlock(&h->mutex);
}

/* Asked for every message before it goes to the log file: 1 lets it be written. The data
 * messages (0x36, legacy 0x32) are counted; the file also holds configuration and state. */
static int onWriteMessageToLogFile(ZtCallbackPlainC* cb, ZtDevice* device, const ZtMessage* message) {
  Handler* h = (Handler*)cb;
  uint8_t id = ZtMessage_getMessageId(message);
  (void)device;
  if (id == 0x36 || id == 0x32) {
    pthread_mutex_lock(&h->mutex);
    ++h->written;
    pthread_mutex_unlock(&h->mutex);
  }
  return 1;
}

static long counter(Handler* h, long* field) {
  long value;
  pthread_mutex_lock(&h->mutex);
  value = *field;
  pthread_mutex_unlock(&h->mutex);
  return value;
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static void sleepSeconds(double seconds) {
  struct timespec t;
  t.tv_sec = (time_t)seconds;
  t.tv_nsec = (long)((seconds - (double)t.tv_sec) * 1e9);
  nanosleep(&t, NULL);
}

/* Prints the failed step with the control's last result; returns 0 for the caller's failure. */
static int failed(ZtControl* control, const char* step) {
  ZtString text;
  ZtString_construct(&text, "");
  ZtControl_lastResultText(control, &text);
  printf("%s: failed, last result %d (%s)\n", step, (int)ZtControl_lastResult(control), ZtString_c_str(&text));
  ZtString_destruct(&text);
  return 0;
}

/* Finds the tracker: the named port probed alone, or the first responding port of a scan. */
static int findTracker(const char* port, ZtPortInfo* found) {
  memset(found, 0, sizeof *found);
  if (port) {
    strncpy(found->portName, port, sizeof found->portName - 1);
    /* Rate 0: try the usual baud rates; time-out 0: the default. */
    if (!ZtScanner_scanPort(found, 0, 0, 0)) {
      printf("scan %s: no tracker answered\n", port);
      return 0;
    }
  } else {
    ZtPortInfoArray ports;
    int any;
    ZtArray_construct(ZTARRAY(&ports), &g_ztPortInfoArrayDescriptor, 0, NULL);
    ZtScanner_scanPorts(&ports, 0, 0, 1, 0);
    any = ports.size > 0;
    if (any) *found = ports.data[0];
    ZtArray_destruct(ZTARRAY(&ports));
    if (!any) {
      printf("scan: no tracker found on any port\n");
      return 0;
    }
  }
  printf("found device %08X on %s at %u bit/s\n", (unsigned)found->deviceId, found->portName,
         (unsigned)ZtBaud_toNumeric(found->baudRate));
  return 1;
}

/* Quaternion orientation at 100 Hz. A host-filtered tracker sends raw data with its status and
 * the library's filter adds the orientation; the others are asked for their own: by output
 * configuration on trackers that take one, by the legacy output mode and settings (orientation,
 * default form) on the rest. */
static int configure(ZtDevice* device) {
  ZtDeviceId id = 0;
  ZtDevice_deviceId(device, &id);
  if (ZtDeviceId_isKtix(id)) {
    ZtFilterProfile profile;
    if (!ZtDevice_setOutputMode(device, ZTOM_Raw | ZTOM_Status) || !ZtDevice_setOutputSettings(device, 0) ||
        !ZtDevice_setUpdateRate(device, 100))
      return 0;
    profile = ZtDevice_zdaFilterProfile(device);
    printf("host filter profile \"%s\" (type %d, filter %c)\n", profile.label, profile.type, profile.filterType);
    return profile.type != 0;
  }
  if (ZtDevice_usesLegacyDeviceMode(device)) {
    return ZtDevice_setOutputMode(device, ZTOM_Orientation) && ZtDevice_setOutputSettings(device, 0) &&
           ZtDevice_setUpdateRate(device, 100);
  } else {
    static const ZtArrayDescriptor plain = {sizeof(ZtOutputConfiguration), NULL, NULL, NULL, NULL, NULL, NULL};
    ZtOutputConfigurationArray outputs;
    ZtOutputConfiguration quaternion;
    int ok;
    quaternion.dataIdentifier = ZDI_Quaternion;
    quaternion.frequency = 100;
    ZtArray_construct(ZTARRAY(&outputs), &plain, 1, &quaternion);
    ok = ZtDevice_setOutputConfiguration(device, &outputs);
    ZtArray_destruct(ZTARRAY(&outputs));
    return ok;
  }
}

/* Prints the packet rate and the latest quaternion once a second for the given time. */
static void report(Handler* handler, double seconds) {
  double start = now(), next = start + 1.0;
  long before;
  pthread_mutex_lock(&handler->mutex);
  before = handler->packets;
  pthread_mutex_unlock(&handler->mutex);
  while (now() - start < seconds) {
    long packets;
    ZtQuaternion q;
    sleepSeconds(next - now() > 0 ? next - now() : 0);
    pthread_mutex_lock(&handler->mutex);
    packets = handler->packets;
    q = handler->last;
    pthread_mutex_unlock(&handler->mutex);
    printf("%ld packets/s, orientation (%.4f, %.4f, %.4f, %.4f)\n", packets - before, q.w, q.x, q.y, q.z);
    before = packets;
    next += 1.0;
  }
}

/* Measures for the given time, printing the packet rate and the orientation each second. */
static int measure(ZtDevice* device, Handler* handler, double seconds) {
  if (!ZtDevice_gotoMeasurement(device)) return 0;
  report(handler, seconds);
  pthread_mutex_lock(&handler->mutex);
  printf("measured %ld packets in %.1f s (%ld with a quaternion)\n", handler->packets, seconds, handler->quaternions);
  pthread_mutex_unlock(&handler->mutex);
  return ZtDevice_gotoConfig(device);
}

/* Records for the given time into a new log file: the file is made while the device is in
 * configuration (its first message is the device configuration), then packets are recorded while
 * measuring. Returns the number of packets written, or -1. */
static long record(ZtDevice* device, Handler* handler, const char* path, double seconds) {
  ZtString name;
  ZtResultValue created;
  int ok;
  ZtString_construct(&name, path);
  created = ZtDevice_createLogFile(device, &name);
  ZtString_destruct(&name);
  if (created != 0) {
    printf("createLogFile %s: result %d\n", path, (int)created);
    return -1;
  }
  ok = ZtDevice_gotoMeasurement(device) && ZtDevice_startRecording(device);
  if (ok) {
    report(handler, seconds);
    ok = ZtDevice_stopRecording(device);
  }
  ok = ZtDevice_gotoConfig(device) && ok;
  ok = ZtDevice_closeLogFile(device) && ok;
  if (!ok) return -1;
  printf("recorded %ld packets into %s\n", counter(handler, &handler->written), path);
  return counter(handler, &handler->written);
}

/* Opens the log file as a device of its own and plays it (the library reads it on its own
 * threads); returns the packets replayed, or -1 when it fails or takes over 60 s. */
static long replay(ZtControl* control, Handler* handler, const char* path) {
  ZtString name;
  ZtDevice* device;
  int opened;
  ZtString_construct(&name, path);
  opened = ZtControl_openLogFile(control, &name);
  ZtString_destruct(&name);
  /* The log file's device is the only one open now: device id 0 finds the first. */
  if (!opened || !(device = ZtControl_device(control, 0))) return -1;
  pthread_mutex_lock(&handler->mutex);
  handler->packets = 0;
  handler->live = 0;
  handler->loadDone = 0;
  pthread_mutex_unlock(&handler->mutex);
  if (!ZtDevice_loadLogFile(device)) return -1;
  {
    struct timespec limit;
    int done;
    clock_gettime(CLOCK_REALTIME, &limit);
    limit.tv_sec += 60;
    pthread_mutex_lock(&handler->mutex);
    while (!handler->loadDone && pthread_cond_timedwait(&handler->loaded, &handler->mutex, &limit) == 0) {
    }
    done = handler->loadDone;
    pthread_mutex_unlock(&handler->mutex);
    if (!done) return -1;
  }
  printf("replayed %ld packets from %s\n", counter(handler, &handler->packets), path);
  return counter(handler, &handler->packets);
}

int main(int argc, char** argv) {
  const char* port = argc > 1 && strcmp(argv[1], "-") != 0 ? argv[1] : NULL;
  const double seconds = argc > 2 ? atof(argv[2]) : 5.0;
  const char* logPath = argc > 3 ? argv[3] : "tracker_demo.log";
  long recorded = -1, replayed = -1;
  Handler handler;
  ZtPortInfo info;
  ZtControl* control;
  ZtDevice* device;
  int ok = 0;

  memset(&handler, 0, sizeof handler);
  pthread_mutex_init(&handler.mutex, NULL);
  pthread_cond_init(&handler.loaded, NULL);
  handler.callbacks.m_onDataAvailable = onDataAvailable;
  handler.callbacks.m_onWriteMessageToLogFile = onWriteMessageToLogFile;
  handler.callbacks.m_onProgressUpdated = onProgressUpdated;
  handler.live = 1;

  if (!findTracker(port, &info)) return 1;
  control = ZtControl_construct();
  if (!control) {
    printf("ZtControl_construct: failed\n");
    return 1;
  }
  /* Handlers on the control with chain set reach every device it opens. */
  ZtControl_addCallbackHandler(control, &handler.callbacks, 1);

  if (!ZtControl_openPort_1(control, &info, 0)) {
    failed(control, "open");
  } else if (!(device = ZtControl_device(control, info.deviceId))) {
    failed(control, "device");
  } else if (!configure(device)) {
    failed(control, "configure");
  } else if (!measure(device, &handler, seconds)) {
    failed(control, "measure");
  } else if ((recorded = record(device, &handler, logPath, seconds)) < 0) {
    failed(control, "record");
  } else {
    /* Close the live port, then play the recording back. */
    ZtControl_close(control);
    if ((replayed = replay(control, &handler, logPath)) < 0) {
      failed(control, "replay");
    } else if (replayed != recorded) {
      printf("replayed %ld packets, recorded %ld\n", replayed, recorded);
    } else {
      ok = 1;
    }
  }
  if (handler.missing > 0) {
    printf("%ld live packets after the first second carried no orientation\n", handler.missing);
    ok = 0;
  }

  ZtControl_close(control);
  ZtControl_removeCallbackHandler(control, &handler.callbacks, 1);
  ZtControl_destruct(control);
  pthread_cond_destroy(&handler.loaded);
  pthread_mutex_destroy(&handler.mutex);
  return ok ? 0 : 1;
}
