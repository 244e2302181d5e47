#ifndef PPAPI_C_PPB_H_
#define PPAPI_C_PPB_H_

// Looks up a browser interface by name; null when the browser has none.
typedef const void* (*PPB_GetInterface)(const char* interface_name);

#endif  // PPAPI_C_PPB_H_
