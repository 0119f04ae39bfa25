#ifndef ZTTYPES_ZTMESSAGE_H
#define ZTTYPES_ZTMESSAGE_H
/* ZtMessage: one Zbus frame held as raw bytes from the preamble on.
 *
 *   FA <bus id> <message id> <len> [<ext len hi> <ext len lo>] <payload> <checksum>
 *
 * len 0..254 is the payload length; len 255 marks the extended form, whose payload length is the
 * next two bytes (big-endian). The checksum makes every byte after the preamble sum to 0 mod 256.
 * Totals are limited to ZTMESSAGE_MAX_TOTAL_SIZE bytes.
 *
 * A message with no bytes is "empty": message id 0, bus id 0, no header. A message made by
 * ZtMessage_constructSized is FA FF 00 <len> ... <cs>: bus id 0xFF (the master), id 0.
 * Every mutator leaves the checksum correct. Getters past the payload return 0 and read nothing;
 * setters past the payload do nothing (setDataBuffer grows the payload instead). setMessageId,
 * setBusId, setDataBuffer, resizeData and insertData applied to an empty message first make it
 * the fresh frame FA FF 00 00 01, so what they set is kept.
 * Payloads of 255 bytes or more use the extended length form. */
#include <stddef.h>
#include <stdint.h>
#include "ztexport.h"
#include "ztarray.h"

ZTTYPES_BEGIN_DECLS

enum {
  ZTMESSAGE_PREAMBLE = 0xFA,
  ZTMESSAGE_MASTER_BUS_ID = 0xFF,
  ZTMESSAGE_EXTENDED_LENGTH = 0xFF,
  ZTMESSAGE_MAX_TOTAL_SIZE = 8192,
  /* Largest payload that still fits the total limit in the extended form. */
  ZTMESSAGE_MAX_DATA_SIZE = ZTMESSAGE_MAX_TOTAL_SIZE - 7
};

typedef struct ZtMessageHeader {
  uint8_t preamble;
  uint8_t busId;
  uint8_t messageId;
  uint8_t length;          /* 255: extended form */
  uint8_t extendedLength[2];
} ZtMessageHeader;

typedef struct ZtMessage {
  ZtByteArray bytes; /* the raw frame, preamble to checksum; empty for an empty message */
} ZtMessage;

ZTTYPES_API void ZtMessage_construct(ZtMessage* m);
/* A frame with dataSize zero payload bytes (0 gives the 5-byte FA FF 00 00 01). Sizes above
 * ZTMESSAGE_MAX_DATA_SIZE give an empty message. */
ZTTYPES_API void ZtMessage_constructSized(ZtMessage* m, size_t dataSize);
/* Re-initialises an already constructed message as constructSized does (its storage is reused).
 * Returns 0, or -1 (message unchanged) when dataSize exceeds ZTMESSAGE_MAX_DATA_SIZE. */
ZTTYPES_API int ZtMessage_assignSized(ZtMessage* m, size_t dataSize);
ZTTYPES_API void ZtMessage_constructCopy(ZtMessage* m, const ZtMessage* source);
ZTTYPES_API void ZtMessage_destruct(ZtMessage* m);
ZTTYPES_API void ZtMessage_copy(ZtMessage* m, const ZtMessage* source);
ZTTYPES_API void ZtMessage_swap(ZtMessage* a, ZtMessage* b);
/* Makes the message empty (no bytes). */
ZTTYPES_API void ZtMessage_clear(ZtMessage* m);
ZTTYPES_API int ZtMessage_empty(const ZtMessage* m);

/* Loads raw frame bytes. Fewer than 5 bytes, a wrong preamble, a length field that disagrees with
 * size or a total over the limit give an empty message and return 0; otherwise returns 1. The
 * checksum is not tested here (see isChecksumOk). */
ZTTYPES_API int ZtMessage_load(ZtMessage* m, size_t size, const uint8_t* bytes);

ZTTYPES_API const ZtMessageHeader* ZtMessage_getConstHeader(const ZtMessage* m); /* null when empty */
ZTTYPES_API const uint8_t* ZtMessage_getMessageStart(const ZtMessage* m);        /* null when empty */
ZTTYPES_API size_t ZtMessage_getTotalMessageSize(const ZtMessage* m);            /* 0 when empty */
ZTTYPES_API size_t ZtMessage_dataSize(const ZtMessage* m);
ZTTYPES_API uint8_t ZtMessage_getMessageId(const ZtMessage* m);
ZTTYPES_API uint8_t ZtMessage_getBusId(const ZtMessage* m);
ZTTYPES_API void ZtMessage_setMessageId(ZtMessage* m, uint8_t id);
ZTTYPES_API void ZtMessage_setBusId(ZtMessage* m, uint8_t busId);
ZTTYPES_API int ZtMessage_isChecksumOk(const ZtMessage* m);
ZTTYPES_API void ZtMessage_recomputeChecksum(ZtMessage* m);
/* The checksum byte for raw frame bytes [1, size-1) (what the last byte must be). */
ZTTYPES_API uint8_t ZtMessage_computeChecksum(const uint8_t* bytes, size_t size);

/* Payload access; offsets are payload offsets, integers big-endian. */
ZTTYPES_API const uint8_t* ZtMessage_constData(const ZtMessage* m); /* null when no payload */
ZTTYPES_API const uint8_t* ZtMessage_getDataBuffer(const ZtMessage* m, size_t offset); /* null past the payload */
ZTTYPES_API uint8_t ZtMessage_getDataByte(const ZtMessage* m, size_t offset);
ZTTYPES_API uint16_t ZtMessage_getDataShort(const ZtMessage* m, size_t offset);
ZTTYPES_API uint32_t ZtMessage_getDataLong(const ZtMessage* m, size_t offset);
ZTTYPES_API uint64_t ZtMessage_getDataLongLong(const ZtMessage* m, size_t offset);
ZTTYPES_API float ZtMessage_getDataFloat(const ZtMessage* m, size_t offset);
ZTTYPES_API double ZtMessage_getDataDouble(const ZtMessage* m, size_t offset);
ZTTYPES_API void ZtMessage_setDataByte(ZtMessage* m, uint8_t value, size_t offset);
ZTTYPES_API void ZtMessage_setDataShort(ZtMessage* m, uint16_t value, size_t offset);
ZTTYPES_API void ZtMessage_setDataLong(ZtMessage* m, uint32_t value, size_t offset);
ZTTYPES_API void ZtMessage_setDataLongLong(ZtMessage* m, uint64_t value, size_t offset);
ZTTYPES_API void ZtMessage_setDataFloat(ZtMessage* m, float value, size_t offset);
ZTTYPES_API void ZtMessage_setDataDouble(ZtMessage* m, double value, size_t offset);
/* Copies size bytes to the payload at offset, growing the payload when needed (within the limit). */
ZTTYPES_API void ZtMessage_setDataBuffer(ZtMessage* m, const uint8_t* data, size_t size, size_t offset);
/* Resizes the payload (new bytes are 0), switching between the normal and extended form as needed.
 * Returns 0, or -1 when the size exceeds the limit (message unchanged). */
ZTTYPES_API int ZtMessage_resizeData(ZtMessage* m, size_t dataSize);
ZTTYPES_API int ZtMessage_insertData(ZtMessage* m, size_t count, size_t offset);
ZTTYPES_API void ZtMessage_deleteData(ZtMessage* m, size_t count, size_t offset);

/* Floating-point values by bits 0x300 of an output-settings word:
 *   0x000 IEEE float (4 bytes), 0x100 fixed point 12.20 (4 bytes),
 *   0x200 fixed point 16.32 (6 bytes), 0x300 IEEE double (8 bytes); all big-endian.
 * Each returns the payload offset after the last value, or offset unchanged when the values do
 * not fit in the payload (nothing read / written then). */
ZTTYPES_API size_t ZtMessage_fpValueSize(uint32_t outputSettings);
ZTTYPES_API size_t ZtMessage_getDataFPValues(const ZtMessage* m, uint32_t outputSettings, double* values,
                                             size_t offset, size_t count);
ZTTYPES_API size_t ZtMessage_setDataFPValues(ZtMessage* m, uint32_t outputSettings, const double* values,
                                             size_t offset, size_t count);

ZTTYPES_END_DECLS
#endif
