// Definitions of the exported globals of the link registry, the request
// queue and the worker (the surface's code in src/interface uses them; their
// locking rules are in tarn_interface.h). All are constant-initialised.
#include "tarn_interface.h"

extern "C" {

CsContextItem *contextListHead = nullptr;
pthread_mutex_t contextLock = PTHREAD_MUTEX_INITIALIZER;

CsRequest *requestListHead = nullptr;
pthread_mutex_t requestLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t requestCond = PTHREAD_COND_INITIALIZER;

uint8_t runThread = 0;
pthread_t requestHandlerPtid;

}  // extern "C"
