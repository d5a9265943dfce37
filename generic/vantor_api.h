/* Export and linkage macros shared by every public header of libvantor. */
#ifndef VANTOR_API_H
#define VANTOR_API_H

#if defined(__GNUC__) || defined(__clang__)
#define VANTOR_API __attribute__((visibility("default")))
#else
#define VANTOR_API
#endif

#ifdef __cplusplus
#define VANTOR_BEGIN_C extern "C" {
#define VANTOR_END_C }
#else
#define VANTOR_BEGIN_C
#define VANTOR_END_C
#endif

#endif /* VANTOR_API_H */
