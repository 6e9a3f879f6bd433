#include "protocol/SyncForwardRecord.h"

#include "foundation/LittleEndian.h"

#include <cstring>

namespace QUORVEL {

void SyncForwardRecord::encode(uint8_t* out) const {
    VEMRA::storeLe64(out, value);
    std::memcpy(out + 8, address.data(), address.size());
    VEMRA::storeLe16(out + 24, interfaceIndex);
}

SyncForwardRecord SyncForwardRecord::decode(const uint8_t* in) {
    SyncForwardRecord record;
    record.value = VEMRA::loadLe64(in);
    std::memcpy(record.address.data(), in + 8, record.address.size());
    record.interfaceIndex = VEMRA::loadLe16(in + 24);
    return record;
}

} // namespace QUORVEL
