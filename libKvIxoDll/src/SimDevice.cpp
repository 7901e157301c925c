#include "SimDevice.h"

#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <thread>

#include "KvIxoSim.h"
#include "SimTarget.h"

namespace kvixosim {
namespace {

// Index group -> injected failure code, 0 when the group is not a failure group.
uint32_t InjectedFailure(uint32_t indexGroup) {
    return indexGroup > KVIXO_SIM_GROUP_FAIL_BASE ? indexGroup - KVIXO_SIM_GROUP_FAIL_BASE : 0;
}

// Index group -> answer delay in milliseconds, 0 when the group is not a delay group.
uint32_t InjectedDelay(uint32_t indexGroup) {
    const uint32_t delay = indexGroup - KVIXO_SIM_GROUP_DELAY_BASE;
    return indexGroup >= KVIXO_SIM_GROUP_DELAY_BASE && delay <= 0xFFFFu ? delay : 0;
}

void StoreLittleEndian32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }

}  // namespace

SimDevice& SimDevice::Instance() {
    // Deliberately never destroyed: see the class comment.
    static SimDevice* const device = new SimDevice();
    return *device;
}

SimDevice::SimDevice() : settings_(SimSettings::FromEnvironment()) {}

int32_t SimDevice::PortOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++openCalls_;
    if (openCalls_ <= settings_.FailOpenCalls()) return 0;
    if (openPort_ != 0) return openPort_;
    ++successfulOpens_;
    const uint64_t maxOpens = std::numeric_limits<int32_t>::max() - KVIXO_SIM_PORT_BASE;
    openPort_ = KVIXO_SIM_PORT_BASE +
                static_cast<int32_t>(successfulOpens_ < maxOpens ? successfulOpens_ : maxOpens);
    return openPort_;
}

int32_t SimDevice::PortClose() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (openPort_ == 0) return KVIXO_SIM_ERR_PORT_NOT_OPEN;
    openPort_ = 0;
    return KVIXO_SIM_OK;
}

int32_t SimDevice::GetLocalAddress(RoxAddr* address) {
    if (address == nullptr) return KVIXO_SIM_ERR_NULL_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    address->netId = settings_.LocalNetId();
    return KVIXO_SIM_OK;
}

int32_t SimDevice::Read(RoxAddr* target, uint32_t indexGroup, uint32_t indexOffset, uint32_t length,
                        void* data) {
    if (target == nullptr || (length > 0 && data == nullptr)) return KVIXO_SIM_ERR_NULL_POINTER;
    uint32_t ignored = 0;
    return Execute(*target,
                   Transfer{indexGroup, indexOffset, length, data, 0, nullptr, false, &ignored});
}

int32_t SimDevice::ReadEx(RoxAddr* target, uint32_t indexGroup, uint32_t indexOffset,
                          uint32_t length, void* data, uint32_t* bytesRead) {
    if (target == nullptr || (length > 0 && data == nullptr) || bytesRead == nullptr) {
        return KVIXO_SIM_ERR_NULL_POINTER;
    }
    return Execute(*target,
                   Transfer{indexGroup, indexOffset, length, data, 0, nullptr, false, bytesRead});
}

int32_t SimDevice::Write(RoxAddr* target, uint32_t indexGroup, uint32_t indexOffset,
                         uint32_t length, const void* data) {
    if (target == nullptr || (length > 0 && data == nullptr)) return KVIXO_SIM_ERR_NULL_POINTER;
    uint32_t ignored = 0;
    return Execute(*target,
                   Transfer{indexGroup, indexOffset, 0, nullptr, length, data, true, &ignored});
}

int32_t SimDevice::ReadWrite(RoxAddr* target, uint32_t indexGroup, uint32_t indexOffset,
                             uint32_t readLength, void* readData, uint32_t writeLength,
                             const void* writeData, uint32_t* bytesRead) {
    if (target == nullptr || (readLength > 0 && readData == nullptr) ||
        (writeLength > 0 && writeData == nullptr) || bytesRead == nullptr) {
        return KVIXO_SIM_ERR_NULL_POINTER;
    }
    return Execute(*target, Transfer{indexGroup, indexOffset, readLength, readData, writeLength,
                                     writeData, true, bytesRead});
}

int32_t SimDevice::ReadState(RoxAddr* target, uint16_t* ixoState, uint16_t* deviceState) {
    if (target == nullptr || ixoState == nullptr || deviceState == nullptr) {
        return KVIXO_SIM_ERR_NULL_POINTER;
    }
    const RoxAddr address = *target;
    std::lock_guard<std::mutex> lock(mutex_);
    if (const int32_t error = CheckTargetLocked(address)) return error;
    TargetState state{KVIXO_SIM_DEFAULT_IXO_STATE, KVIXO_SIM_DEFAULT_DEVICE_STATE};
    const auto found = states_.find(TargetKey(address));
    if (found != states_.end()) state = found->second;
    *ixoState = state.ixoState;
    *deviceState = state.deviceState;
    return KVIXO_SIM_OK;
}

int32_t SimDevice::WriteControl(RoxAddr* target, uint16_t ixoState, uint16_t deviceState,
                                uint32_t length, const void* data) {
    if (target == nullptr || (length > 0 && data == nullptr)) return KVIXO_SIM_ERR_NULL_POINTER;
    const RoxAddr address = *target;
    std::lock_guard<std::mutex> lock(mutex_);
    if (const int32_t error = CheckTargetLocked(address)) return error;
    // Only targets that differ from the default are kept, so the map stays small.
    if (ixoState == KVIXO_SIM_DEFAULT_IXO_STATE && deviceState == KVIXO_SIM_DEFAULT_DEVICE_STATE) {
        states_.erase(TargetKey(address));
        return KVIXO_SIM_OK;
    }
    try {
        states_[TargetKey(address)] = TargetState{ixoState, deviceState};
    } catch (const std::bad_alloc&) {
        return KVIXO_SIM_ERR_TOO_MANY_AREAS;
    }
    return KVIXO_SIM_OK;
}

void SimDevice::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = SimSettings::FromEnvironment();
    memory_.Clear();
    states_.clear();
    openPort_ = 0;
    openCalls_ = 0;
    successfulOpens_ = 0;
}

uint32_t SimDevice::PortOpenCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t max = std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(openCalls_ < max ? openCalls_ : max);
}

int32_t SimDevice::Execute(const RoxAddr& target, const Transfer& transfer) {
    // Copy the address first: the caller's record is read only once.
    const RoxAddr address = target;
    *transfer.bytesRead = 0;
    if (const uint32_t delay = InjectedDelay(transfer.indexGroup)) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (const int32_t error = CheckTargetLocked(address)) return error;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (const int32_t error = CheckTargetLocked(address)) return error;
    return ExecuteLocked(address, transfer);
}

int32_t SimDevice::CheckTargetLocked(const RoxAddr& target) const {
    if (openPort_ == 0) return KVIXO_SIM_ERR_PORT_NOT_OPEN;
    if (target.port == 0) return KVIXO_SIM_ERR_PORT_ZERO;
    if (target.port == KVIXO_SIM_OFFLINE_PORT) return KVIXO_SIM_ERR_OFFLINE;
    if (!settings_.IsReachable(target.netId)) return KVIXO_SIM_ERR_NO_SUCH_TARGET;
    return KVIXO_SIM_OK;
}

int32_t SimDevice::ExecuteLocked(const RoxAddr& target, const Transfer& transfer) {
    if (const uint32_t failure = InjectedFailure(transfer.indexGroup)) return Code(failure);
    if (IsRouteTable(target, transfer.indexGroup)) {
        if (transfer.writes) return KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED;
        return ReadRouteTableLocked(transfer);
    }

    // Both ranges are checked before anything is written.
    if (!SimMemory::Fits(transfer.indexOffset, transfer.writeLength) ||
        !SimMemory::Fits(transfer.indexOffset, transfer.readLength)) {
        return KVIXO_SIM_ERR_OUT_OF_AREA;
    }
    unsigned char* area = memory_.Area(target, transfer.indexGroup);
    if (area == nullptr) return KVIXO_SIM_ERR_TOO_MANY_AREAS;

    if (transfer.writeLength > 0) {
        std::memcpy(area + transfer.indexOffset, transfer.writeData, transfer.writeLength);
    }
    const uint32_t answered = transfer.indexGroup == KVIXO_SIM_GROUP_HALF_READ
                                  ? transfer.readLength / 2
                                  : transfer.readLength;
    if (answered > 0) std::memcpy(transfer.readData, area + transfer.indexOffset, answered);
    *transfer.bytesRead = answered;
    return KVIXO_SIM_OK;
}

bool SimDevice::IsRouteTable(const RoxAddr& target, uint32_t indexGroup) const {
    return indexGroup == IXO_ROUTE_INDEX_GROUP && target.port == IXO_ROUTER_PORT &&
           settings_.IsLocal(target.netId);
}

int32_t SimDevice::ReadRouteTableLocked(const Transfer& transfer) const {
    const std::vector<SimRoute>& routes = settings_.Routes();
    if (transfer.indexOffset == IXO_ROUTE_OFFSET_COUNT) {
        if (transfer.readLength != 4) return KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED;
        StoreLittleEndian32(static_cast<unsigned char*>(transfer.readData),
                            static_cast<uint32_t>(routes.size()));
        *transfer.bytesRead = 4;
        return KVIXO_SIM_OK;
    }
    if (transfer.indexOffset != IXO_ROUTE_OFFSET_ENTRIES) {
        return KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED;
    }

    // At most KVIXO_SIM_MAX_ROUTES entries: built on the stack.
    unsigned char entries[KVIXO_SIM_MAX_ROUTES * IXO_ROUTE_ENTRY_SIZE] = {};
    for (std::size_t i = 0; i < routes.size(); ++i) {
        unsigned char* entry = entries + i * IXO_ROUTE_ENTRY_SIZE;
        // Names are at most KVIXO_SIM_ROUTE_NAME_MAX long; the zeroed byte after them ends them.
        std::memcpy(entry + IXO_ROUTE_NAME_OFFSET, routes[i].name.data(), routes[i].name.size());
        std::memcpy(entry + IXO_ROUTE_NETID_OFFSET, routes[i].netId.b, sizeof routes[i].netId.b);
    }
    const std::size_t available = routes.size() * IXO_ROUTE_ENTRY_SIZE;
    const std::size_t copied = transfer.readLength < available ? transfer.readLength : available;
    if (copied > 0) std::memcpy(transfer.readData, entries, copied);
    *transfer.bytesRead = static_cast<uint32_t>(copied);
    return KVIXO_SIM_OK;
}

}  // namespace kvixosim
