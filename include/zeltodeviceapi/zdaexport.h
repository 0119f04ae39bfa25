#ifndef ZELTODEVICEAPI_ZDAEXPORT_H
#define ZELTODEVICEAPI_ZDAEXPORT_H
/* Symbol export of libzeltodeviceapi. The library is built with hidden visibility; every
 * function and datum of the public C interface is declared with ZDA_API, inside
 * ZDA_BEGIN_DECLS / ZDA_END_DECLS so that it keeps C linkage when the header is read by C++. */
#define ZDA_API __attribute__((visibility("default")))
/* The public enumerations are declared "typedef enum Name ZDA_ENUM_BASE { ... } Name;". In C++
 * they take int, the type they promote to, as a fixed underlying type: a C caller may pass any
 * 32-bit value where an enumeration is expected, and the library holds that value as it is (no
 * undefined behaviour) and checks its range before it acts on it. */
#ifdef __cplusplus
#define ZDA_ENUM_BASE : int
#else
#define ZDA_ENUM_BASE
#endif
#ifdef __cplusplus
#define ZDA_BEGIN_DECLS extern "C" {
#define ZDA_END_DECLS }
#else
#define ZDA_BEGIN_DECLS
#define ZDA_END_DECLS
#endif
#endif
