#ifndef ZTTYPES_ZTRESULT_H
#define ZTTYPES_ZTRESULT_H
#include "ztexport.h"

ZTTYPES_BEGIN_DECLS

/* Result codes: 0 is success. Codes 1 to 255 are also the error codes devices report. The
 * full table of codes and texts lives in ztresult.c. */
typedef int ZtResultValue;

/* The same code may serve related failures in different subsystems; the names follow the
 * port and file meaning. */
enum {
  ZRV_OK = 0,
  ZRV_INVALIDMESSAGE = 4,       /* message shorter than a frame given for writing */
  ZRV_INVALIDARGUMENT = 22,     /* null pointer given to a safe string function */
  ZRV_INVALIDPARAM = 33,        /* invalid argument; path could not be resolved */
  ZRV_OUTOFRANGE = 34,          /* destination of a safe string function too small */
  ZRV_TRACKERERROR = 42,        /* station reported an error of one of its wireless trackers */
  ZRV_ERROR = 256,              /* generic failure of an operating-system call */
  ZRV_NOTIMPLEMENTED = 257,     /* USB library missing or operation unsupported by it */
  ZRV_TIMEOUT = 258,            /* a read or wait timed out */
  ZRV_NODATA = 259,             /* no message in the parsed data */
  ZRV_INSUFFICIENTSPACE = 261,  /* memory / buffer too small */
  ZRV_NOTFOUND = 262,           /* entity (setting, USB device) not found */
  ZRV_INTERRUPTED = 263,
  ZRV_NOTAVAILABLE = 264,       /* device not found */
  ZRV_UNSUPPORTED = 265,        /* not supported by this kind of object; busy USB resource */
  ZRV_OUTPUTCANNOTBEWRITTEN = 266, /* write failed (ENOSPC); label too long */
  ZRV_INPUTCANNOTBEOPENED = 267,   /* port or file could not be opened */
  ZRV_OUTPUTCANNOTBECREATED = 268, /* file could not be created */
  ZRV_ALREADYOPEN = 269,
  ZRV_ENDOFFILE = 270,
  ZRV_COULDNOTOPENFILE = 271,      /* file cannot be opened or created; no reply to ReqDeviceId */
  ZRV_COULDNOTSETPOSITION = 272,
  ZRV_READONLY = 273,              /* read-only / cannot reopen for writing */
  ZRV_NOBUFFER = 274,
  ZRV_TRUNCATEACCESS = 276,
  ZRV_TRUNCATEBADF = 277,
  ZRV_INVALIDLOGFILE = 278,        /* not a log file; log write failed */
  ZRV_UNEXPECTEDMESSAGE = 286,     /* error message or another message id received */
  ZRV_NOFILEOPEN = 287,
  ZRV_NOPORTOPEN = 288,            /* port not open; USB device gone */
  ZRV_PORTCLOSED = 289,            /* port hung up / closed under us; device list empty */
  ZRV_INITIALIZATIONFAILED = 293,  /* no acknowledge to GotoConfig; device initialisation failed */
  ZRV_SYNCINPUTWITHOUTMASTER = 295, /* single device waits for a sync input */
  ZRV_MULTIPLESYNCMASTERS = 296,   /* two or more devices are sync masters */
  ZRV_NOTSYNCHRONIZED = 297,       /* a device is neither sync master nor slave */
  ZRV_MISSEDPACKETS = 304,
  ZRV_UNEXPECTEDNULL = 305         /* station failed to start measurement */
};

/* The code's text; "" for unknown codes, never null. */
ZTTYPES_API const char* ZtResultValue_toString(ZtResultValue value);

ZTTYPES_END_DECLS
#endif
