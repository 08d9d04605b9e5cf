#include "contracts/types/TcamTypes.h"

namespace VornTunnelTcamMgr {
std::string formatAddress(std::uint8_t family, IpBytes const& b) {
    if (family == static_cast<std::uint8_t>(AddressFamily::ipv6)) {
        return fmt::format("{:x}:{:x}:{:x}:{:x}:{:x}:{:x}:{:x}:{:x}", b[0] << 8 | b[1], b[2] << 8 | b[3],
                           b[4] << 8 | b[5], b[6] << 8 | b[7], b[8] << 8 | b[9], b[10] << 8 | b[11], b[12] << 8 | b[13],
                           b[14] << 8 | b[15]);
    }
    return fmt::format("{}.{}.{}.{}", b[0], b[1], b[2], b[3]);
}
}  // namespace VornTunnelTcamMgr
