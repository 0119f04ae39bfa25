#ifndef ZTTYPES_ZTEXPORT_H
#define ZTTYPES_ZTEXPORT_H
/* Symbol export of libzttypes. Everything not marked ZTTYPES_API stays hidden. */
#define ZTTYPES_API __attribute__((visibility("default")))
#ifdef __cplusplus
#define ZTTYPES_BEGIN_DECLS extern "C" {
#define ZTTYPES_END_DECLS }
#else
#define ZTTYPES_BEGIN_DECLS
#define ZTTYPES_END_DECLS
#endif
#endif
