/* Texts of the result codes. Codes 1 to 255 are also what devices report in their error
 * message; only the ones the library itself raises have a text here. */
#include "zttypes/ztresult.h"

#include <stddef.h>

typedef struct ResultText {
  ZtResultValue value;
  const char* text;
} ResultText;

/* Sorted by code. */
static const ResultText kResultTexts[] = {
  {ZRV_OK, "Operation was performed successfully"},
  {ZRV_INVALIDMESSAGE, "Message is malformed or too short"},
  {ZRV_INVALIDARGUMENT, "Invalid argument"},
  {ZRV_INVALIDPARAM, "Invalid parameter"},
  {ZRV_OUTOFRANGE, "Result out of range"},
  {ZRV_TRACKERERROR, "The station reported an error of this wireless tracker"},
  {ZRV_ERROR, "A system call failed"},
  {ZRV_NOTIMPLEMENTED, "Operation not implemented or library missing"},
  {ZRV_TIMEOUT, "Timeout occurred"},
  {ZRV_NODATA, "No message in the received data"},
  {ZRV_INSUFFICIENTSPACE, "Insufficient memory or buffer space"},
  {ZRV_NOTFOUND, "Not found"},
  {ZRV_INTERRUPTED, "Operation was interrupted"},
  {ZRV_NOTAVAILABLE, "Device not available"},
  {ZRV_UNSUPPORTED, "Operation not supported in this state or by this object"},
  {ZRV_OUTPUTCANNOTBEWRITTEN, "Output cannot be written"},
  {ZRV_INPUTCANNOTBEOPENED, "Input cannot be opened"},
  {ZRV_OUTPUTCANNOTBECREATED, "Output cannot be created"},
  {ZRV_ALREADYOPEN, "Port or file is already open"},
  {ZRV_ENDOFFILE, "End of file reached"},
  {ZRV_COULDNOTOPENFILE, "File could not be opened or created"},
  {ZRV_COULDNOTSETPOSITION, "File position could not be set"},
  {ZRV_READONLY, "File is read-only"},
  {ZRV_NOBUFFER, "No output buffer given"},
  {ZRV_TRUNCATEACCESS, "Truncation not permitted"},
  {ZRV_TRUNCATEBADF, "Truncation failed: bad file"},
  {ZRV_INVALIDLOGFILE, "Not a valid log file"},
  {ZRV_UNEXPECTEDMESSAGE, "Unexpected message received"},
  {ZRV_NOFILEOPEN, "No file is open"},
  {ZRV_NOPORTOPEN, "No port is open"},
  {ZRV_PORTCLOSED, "Port was closed"},
  {ZRV_INITIALIZATIONFAILED, "Initialization failed"},
  {ZRV_SYNCINPUTWITHOUTMASTER, "Synchronisation input configured without a sync master"},
  {ZRV_MULTIPLESYNCMASTERS, "More than one sync master"},
  {ZRV_NOTSYNCHRONIZED, "Device is neither sync master nor sync slave"},
  {ZRV_MISSEDPACKETS, "Packets were missed"},
  {ZRV_UNEXPECTEDNULL, "Unexpected failure while starting measurement"},
};

const char* ZtResultValue_toString(ZtResultValue value) {
  size_t lo = 0, hi = sizeof kResultTexts / sizeof kResultTexts[0];
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (kResultTexts[mid].value == value) return kResultTexts[mid].text;
    if (kResultTexts[mid].value < value)
      lo = mid + 1;
    else
      hi = mid;
  }
  return "";
}
