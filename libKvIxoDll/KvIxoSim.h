// Simulated Ixo device library: its error codes, fixed values and test hooks.
//
// libKvIxoDll.so built from this folder implements the functions of KvIxoDll.h
// against an in-memory device, so the service can run without a controller.
// KvIxoSimReset and KvIxoSimPortOpenCalls exist for tests only; the service
// never calls them.
#ifndef KV_IXO_SIM_H
#define KV_IXO_SIM_H

#include <stdint.h>

#include "KvIxoDll.h"

#ifdef __cplusplus
extern "C" {
#endif

// Error codes returned by the simulated device: a range of its own from 0x8001, and 1793
// (route table misuse) as the Ixo interface knows it.
enum {
    KVIXO_SIM_OK = 0,
    KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED = 1793,  // 0x701: route table misuse
    KVIXO_SIM_ERR_PORT_NOT_OPEN = 0x8001,        // IxoPortOpen not called
    KVIXO_SIM_ERR_NO_SUCH_TARGET = 0x8002,       // net id neither local nor routed
    KVIXO_SIM_ERR_PORT_ZERO = 0x8003,            // target port 0
    KVIXO_SIM_ERR_OFFLINE = 0x8004,              // target port 65535
    KVIXO_SIM_ERR_OUT_OF_AREA = 0x8005,          // access beyond the area
    KVIXO_SIM_ERR_NULL_POINTER = 0x8006,         // null pointer argument
    KVIXO_SIM_ERR_TOO_MANY_AREAS = 0x8007        // area limit reached
};

// Fixed values of the simulated device.
enum {
    KVIXO_SIM_PORT_BASE = 40000,        // the n-th successful open returns this + n
    KVIXO_SIM_AREA_SIZE = 65536,        // bytes per (net id, port, index group)
    KVIXO_SIM_MAX_AREAS = 1024,         // memory areas that can exist at once
    KVIXO_SIM_MAX_ROUTES = 64,          // routes taken from KVIXO_SIM_ROUTES
    KVIXO_SIM_ROUTE_NAME_MAX = 35,      // longer route names are cut
    KVIXO_SIM_OFFLINE_PORT = 65535,     // target port that is always offline
    KVIXO_SIM_DEFAULT_IXO_STATE = 1,    // Ixo state before any WriteControl
    KVIXO_SIM_DEFAULT_DEVICE_STATE = 0  // device state before any WriteControl
};

// Fault-injection index groups.
// 0xFFFF0000 + c (c = 1..0xFFFF): every request fails with code c.
#define KVIXO_SIM_GROUP_FAIL_BASE ((uint32_t)0xFFFF0000u)
// Reads return only half of the requested bytes (rounded down); otherwise memory.
#define KVIXO_SIM_GROUP_HALF_READ ((uint32_t)0xFFFE0000u)
// 0xFFFD0000 + n: memory, answered after n milliseconds.
#define KVIXO_SIM_GROUP_DELAY_BASE ((uint32_t)0xFFFD0000u)

// Test hook: closes the port, forgets all areas and states, resets the open
// counters and the port numbering, and reads the environment variables again.
KVIXO_API void KvIxoSimReset(void);
// Test hook: IxoPortOpen calls since the library was loaded or last reset.
KVIXO_API uint32_t KvIxoSimPortOpenCalls(void);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // KV_IXO_SIM_H
