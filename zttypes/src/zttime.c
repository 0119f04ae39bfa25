/* Wall-clock time stamps, sleeping and local date/time texts. */
#define _POSIX_C_SOURCE 200809L
#include "zttypes/zttime.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static pthread_once_t g_timeOnce = PTHREAD_ONCE_INIT;

static void initializeOnce(void) { tzset(); }

void ZtTime_initializeTime(void) { pthread_once(&g_timeOnce, initializeOnce); }

ZtTimeStamp ZtTimeStamp_now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (ZtTimeStamp)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void ZtTime_msleep(uint32_t milliseconds) {
  struct timespec left;
  left.tv_sec = milliseconds / 1000;
  left.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
  /* Sleep the whole time even when signals interrupt us. */
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

/* Local broken-down time of now, with milliseconds. */
static void localNow(struct tm* out, int* millisecond) {
  ZtTime_initializeTime();
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t seconds = ts.tv_sec;
  if (!localtime_r(&seconds, out)) memset(out, 0, sizeof *out);
  *millisecond = (int)(ts.tv_nsec / 1000000);
}

uint32_t ZtTime_getTimeOfDay(void) {
  struct tm t;
  int ms;
  localNow(&t, &ms);
  return (uint32_t)(((t.tm_hour * 60 + t.tm_min) * 60 + t.tm_sec) * 1000 + ms);
}

void ZtTime_getDateTime(ZtDateTime* out) {
  struct tm t;
  int ms;
  localNow(&t, &ms);
  out->year = t.tm_year + 1900;
  out->month = t.tm_mon + 1;
  out->day = t.tm_mday;
  out->hour = t.tm_hour;
  out->minute = t.tm_min;
  out->second = t.tm_sec;
  out->millisecond = ms;
}

/* Formats into a scratch buffer and copies exactly 8 characters: the destination fields are
 * fixed 8-byte texts without a NUL. */
static void put8(char* dest8, int a, int b, int c, int d) {
  char buf[32];
  if (d < 0)
    snprintf(buf, sizeof buf, "%04d%02d%02d", a % 10000, b % 100, c % 100);
  else
    snprintf(buf, sizeof buf, "%02d%02d%02d%02d", a % 100, b % 100, c % 100, d % 100);
  memcpy(dest8, buf, 8);
}

void ZtTime_getDateAsString(char* dest8) {
  ZtDateTime dt;
  ZtTime_getDateTime(&dt);
  put8(dest8, dt.year, dt.month, dt.day, -1);
}

void ZtTime_getTimeAsString(char* dest8) {
  ZtDateTime dt;
  ZtTime_getDateTime(&dt);
  put8(dest8, dt.hour, dt.minute, dt.second, dt.millisecond / 10);
}
