// The simulated Ixo device behind the library's C functions.
#ifndef KV_IXO_SIM_DEVICE_H
#define KV_IXO_SIM_DEVICE_H

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "KvIxoDll.h"
#include "SimMemory.h"
#include "SimSettings.h"

namespace kvixosim {

// The process's one device: its port, memory areas, states and route table.
//
// Every member is guarded by mutex_; the lock is never held while a request of
// a delay group waits. The object is made on first use and never destroyed, so
// callers running during process exit (static destructors) still find it.
class SimDevice {
public:
    static SimDevice& Instance();

    int32_t PortOpen();
    int32_t PortClose();
    int32_t GetLocalAddress(RoxAddr* address);

    int32_t Read(RoxAddr* target, uint32_t indexGroup, uint32_t indexOffset, uint32_t length,
                 void* data);
    int32_t ReadEx(RoxAddr* target, uint32_t indexGroup, uint32_t indexOffset, uint32_t length,
                   void* data, uint32_t* bytesRead);
    int32_t Write(RoxAddr* target, uint32_t indexGroup, uint32_t indexOffset, uint32_t length,
                  const void* data);
    int32_t ReadWrite(RoxAddr* target, uint32_t indexGroup, uint32_t indexOffset,
                      uint32_t readLength, void* readData, uint32_t writeLength,
                      const void* writeData, uint32_t* bytesRead);
    int32_t ReadState(RoxAddr* target, uint16_t* ixoState, uint16_t* deviceState);
    int32_t WriteControl(RoxAddr* target, uint16_t ixoState, uint16_t deviceState, uint32_t length,
                         const void* data);

    void Reset();
    uint32_t PortOpenCalls();

private:
    // One Read, Write or ReadWrite; the parts a call lacks have length 0.
    struct Transfer {
        uint32_t indexGroup;
        uint32_t indexOffset;
        uint32_t readLength;
        void* readData;
        uint32_t writeLength;
        const void* writeData;
        bool writes;          // the call is a write (ReadWrite even with length 0)
        uint32_t* bytesRead;  // never null here
    };

    // Device state of one (net id, port).
    struct TargetState {
        uint16_t ixoState;
        uint16_t deviceState;
    };

    SimDevice();

    int32_t Execute(const RoxAddr& target, const Transfer& transfer);
    // Checks that need the lock: open port, target port, reachability.
    int32_t CheckTargetLocked(const RoxAddr& target) const;
    int32_t ExecuteLocked(const RoxAddr& target, const Transfer& transfer);
    int32_t ReadRouteTableLocked(const Transfer& transfer) const;
    bool IsRouteTable(const RoxAddr& target, uint32_t indexGroup) const;

    std::mutex mutex_;
    SimSettings settings_;
    SimMemory memory_;
    std::map<uint64_t, TargetState> states_;  // targets whose state differs from the default
    int32_t openPort_ = 0;                    // 0 while closed
    uint64_t openCalls_ = 0;                  // IxoPortOpen calls since reset
    uint64_t successfulOpens_ = 0;            // opens that produced a new port number
};

}  // namespace kvixosim

#endif  // KV_IXO_SIM_DEVICE_H
