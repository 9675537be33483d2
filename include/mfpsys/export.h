/* Export and linkage macros shared by the public headers. */
#ifndef MFPSYS_EXPORT_H
#define MFPSYS_EXPORT_H

#if defined(__GNUC__)
#define MFPSYS_API __attribute__((visibility("default")))
#else
#define MFPSYS_API
#endif

#ifdef __cplusplus
#define MFPSYS_BEGIN_DECLS extern "C" {
#define MFPSYS_END_DECLS }
#else
#define MFPSYS_BEGIN_DECLS
#define MFPSYS_END_DECLS
#endif

#endif /* MFPSYS_EXPORT_H */
