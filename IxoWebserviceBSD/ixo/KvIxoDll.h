// C interface of the Ixo client library libKvIxoDll.so.
//
// The service calls only what is declared here. The simulated device library in
// libKvIxoDll/ implements the same functions, so the library of a controller can
// replace the file without recompiling the service.
#ifndef KV_IXO_DLL_H
#define KV_IXO_DLL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KVIXO_API __attribute__((visibility("default")))
#else
#define KVIXO_API
#endif

// The 6-byte Ixo net id, written as text "%d.%d.%d.%d.%d.%d", first byte first.
typedef struct RoxNetId {
    unsigned char b[6];
} RoxNetId;

// A net id followed by a 16-bit Ixo port: the target of every request.
typedef struct RoxAddr {
    RoxNetId netId;
    uint16_t port;
} RoxAddr;

// One entry of the router's route table: name from byte 16 (NUL-terminated),
// net id at bytes 52 to 57; the other bytes belong to the library.
enum { IXO_ROUTE_ENTRY_SIZE = 58, IXO_ROUTE_NAME_OFFSET = 16, IXO_ROUTE_NETID_OFFSET = 52 };

// Where the router publishes its route table (local net id, port 1).
enum {
    IXO_ROUTER_PORT = 1,
    IXO_ROUTE_INDEX_GROUP = 3,
    IXO_ROUTE_OFFSET_ENTRIES = 1,
    IXO_ROUTE_OFFSET_COUNT = 2
};

// Opens the process's Ixo port; its number, or 0 when it cannot be opened.
KVIXO_API int32_t IxoPortOpen(void);
// Closes the process's Ixo port.
KVIXO_API int32_t IxoPortClose(void);
// On 0, the local net id in the first 6 bytes of *pAddr (the port is not used).
KVIXO_API int32_t IxoGetLocalAddress(RoxAddr* pAddr);

// Every request returns 0 on success, else a library error code.
KVIXO_API int32_t IxoSyncReadReq(RoxAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                                 uint32_t length, void* pData);
KVIXO_API int32_t IxoSyncReadReqEx(RoxAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                                   uint32_t length, void* pData, uint32_t* pcbRead);
KVIXO_API int32_t IxoSyncWriteReq(RoxAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                                  uint32_t length, void* pData);
KVIXO_API int32_t IxoSyncReadWriteReqEx(RoxAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                                        uint32_t cbReadLength, void* pReadData,
                                        uint32_t cbWriteLength, void* pWriteData,
                                        uint32_t* pcbRead);
KVIXO_API int32_t IxoSyncReadStateReq(RoxAddr* pAddr, uint16_t* pIxoState, uint16_t* pDevState);
KVIXO_API int32_t IxoSyncWriteControlReq(RoxAddr* pAddr, uint16_t ixoState, uint16_t devState,
                                         uint32_t length, void* pData);

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef __cplusplus
static_assert(sizeof(RoxNetId) == 6, "RoxNetId is 6 bytes");
static_assert(sizeof(RoxAddr) == 8, "RoxAddr is 8 bytes");
#endif

#endif  // KV_IXO_DLL_H
