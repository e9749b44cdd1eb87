/* The platform's event service, as the daemon uses it: four plain C symbols resolved at run
 * time from whichever shared library provides them, and the handler it calls back.
 * Plain C, so that the platform's library and the project's stand-in share it unchanged. */
#ifndef VELM_SERVICE_ZEL_H
#define VELM_SERVICE_ZEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Called by the service for every management event. The three leading values belong to the
 * service and are ignored; `event` points at a MgmtEvent of 284 readable bytes, at any
 * alignment, valid for the duration of the call. Returns 0. */
typedef int (*ZelEventHandler)(uint32_t a, uint32_t b, uint32_t c, const void* event);

/* 0 when the service is ready; anything else is failure. */
int zelInit(void);
/* A registration handle: 0 is failure, any other value (negative ones too) is success. */
int zelRegister(int32_t a, int32_t b, ZelEventHandler handler, int32_t c);
/* Waits at most `bound` for events, delivering them through the handler. */
int zelListen(int32_t handle, int32_t bound);
/* Detaches from the service. */
int zelDeInit(void);

#ifdef __cplusplus
}
#endif

#endif
