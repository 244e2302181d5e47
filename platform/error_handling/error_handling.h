#ifndef ERROR_HANDLING_ERROR_HANDLING_H_
#define ERROR_HANDLING_ERROR_HANDLING_H_

// The crash-report library: on a fatal signal (segmentation fault, bus
// error, illegal instruction, floating-point error, abort) it builds a JSON
// report (signal, faulting address, backtrace), hands it to the callback on
// the crashing thread, and lets the process die of the signal.

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*EHJsonHandler)(const char* json);

// Installs the signal handlers (once) and sets the callback.
void EHRequestExceptionsJson(EHJsonHandler callback);

// Non-zero once the handlers are in place.
int EHHanderInstalled(void);

#ifdef __cplusplus
}
#endif

#endif  // ERROR_HANDLING_ERROR_HANDLING_H_
