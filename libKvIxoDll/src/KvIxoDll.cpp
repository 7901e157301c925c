// The exported C functions of libKvIxoDll.so, each a thin call into the device.
#include "KvIxoDll.h"

#include <exception>

#include "KvIxoSim.h"
#include "SimDevice.h"

using kvixosim::SimDevice;

namespace {

// No exception may cross the C interface; a failure inside becomes "no memory".
template <typename Call>
int32_t Guarded(Call call) {
    try {
        return call(SimDevice::Instance());
    } catch (const std::exception&) {
        return KVIXO_SIM_ERR_TOO_MANY_AREAS;
    }
}

}  // namespace

extern "C" {

KVIXO_API int32_t IxoPortOpen(void) {
    try {
        return SimDevice::Instance().PortOpen();
    } catch (const std::exception&) {
        return 0;
    }
}

KVIXO_API int32_t IxoPortClose(void) {
    return Guarded([](SimDevice& device) { return device.PortClose(); });
}

KVIXO_API int32_t IxoGetLocalAddress(RoxAddr* pAddr) {
    return Guarded([=](SimDevice& device) { return device.GetLocalAddress(pAddr); });
}

KVIXO_API int32_t IxoSyncReadReq(RoxAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                                 uint32_t length, void* pData) {
    return Guarded([=](SimDevice& device) {
        return device.Read(pAddr, indexGroup, indexOffset, length, pData);
    });
}

KVIXO_API int32_t IxoSyncReadReqEx(RoxAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                                   uint32_t length, void* pData, uint32_t* pcbRead) {
    return Guarded([=](SimDevice& device) {
        return device.ReadEx(pAddr, indexGroup, indexOffset, length, pData, pcbRead);
    });
}

KVIXO_API int32_t IxoSyncWriteReq(RoxAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                                  uint32_t length, void* pData) {
    return Guarded([=](SimDevice& device) {
        return device.Write(pAddr, indexGroup, indexOffset, length, pData);
    });
}

KVIXO_API int32_t IxoSyncReadWriteReqEx(RoxAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                                        uint32_t cbReadLength, void* pReadData,
                                        uint32_t cbWriteLength, void* pWriteData,
                                        uint32_t* pcbRead) {
    return Guarded([=](SimDevice& device) {
        return device.ReadWrite(pAddr, indexGroup, indexOffset, cbReadLength, pReadData,
                                cbWriteLength, pWriteData, pcbRead);
    });
}

KVIXO_API int32_t IxoSyncReadStateReq(RoxAddr* pAddr, uint16_t* pIxoState, uint16_t* pDevState) {
    return Guarded(
        [=](SimDevice& device) { return device.ReadState(pAddr, pIxoState, pDevState); });
}

KVIXO_API int32_t IxoSyncWriteControlReq(RoxAddr* pAddr, uint16_t ixoState, uint16_t devState,
                                         uint32_t length, void* pData) {
    return Guarded([=](SimDevice& device) {
        return device.WriteControl(pAddr, ixoState, devState, length, pData);
    });
}

KVIXO_API void KvIxoSimReset(void) {
    try {
        SimDevice::Instance().Reset();
    } catch (const std::exception&) {
        // Nothing sensible is left to do for a test hook.
    }
}

KVIXO_API uint32_t KvIxoSimPortOpenCalls(void) {
    try {
        return SimDevice::Instance().PortOpenCalls();
    } catch (const std::exception&) {
        return 0;
    }
}

}  // extern "C"
