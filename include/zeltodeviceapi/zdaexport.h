#ifndef ZELTODEVICEAPI_ZDAEXPORT_H
#define ZELTODEVICEAPI_ZDAEXPORT_H
/* Symbol export of libzeltodeviceapi. The library is built with hidden visibility; every
 * function and datum of the public C interface is declared with ZDA_API, inside
 * ZDA_BEGIN_DECLS / ZDA_END_DECLS so that it keeps C linkage when the header is read by C++. */
#define ZDA_API __attribute__((visibility("default")))
#ifdef __cplusplus
#define ZDA_BEGIN_DECLS extern "C" {
#define ZDA_END_DECLS }
#else
#define ZDA_BEGIN_DECLS
#define ZDA_END_DECLS
#endif
#endif
