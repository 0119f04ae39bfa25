#ifndef ZTTYPES_ZTTYPES_H
#define ZTTYPES_ZTTYPES_H
/* Umbrella header of libzttypes. */
#include "ztexport.h"
#include "ztarray.h"
#include "ztmessage.h"
#include "ztmath.h"
#include "zttime.h"
#include "ztresult.h"
#include "ztmisc.h"
#include "ztdeviceid.h"
#include "ztdatapacket.h"
#endif
