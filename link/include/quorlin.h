/*
 * quorlin.h - the C interface of libquorlin.so, Gathra's serial link library.
 *
 * (The full manual of the model and of each operation belongs at the top of this header.)
 */
#ifndef QUORLIN_H
#define QUORLIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QUORLIN_BUILD)
#define QUORLIN_API __attribute__((visibility("default")))
#else
#define QUORLIN_API
#endif

QUORLIN_API void* OpenIrCom(int32_t port, int32_t speed, int32_t mode);
QUORLIN_API int32_t vbOpenIrCom(int32_t port, int32_t speed, int32_t mode);
QUORLIN_API int32_t CloseIrCom(void);
QUORLIN_API char* ReadIrCom(void);
QUORLIN_API int32_t vbReadIrCom(char* buffer);
QUORLIN_API int32_t WriteIrCom(const char* text);
QUORLIN_API int32_t ClearIrCom(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORLIN_H */
