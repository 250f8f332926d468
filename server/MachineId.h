#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <vector>

namespace trevok {

// One network interface that has a six-byte hardware (link-level) address.
struct HardwareInterface {
    QString name;
    std::array<uint8_t, 6> address{};
    bool loopback = false;
};

// "%02X:%02X:%02X:%02X:%02X:%02X": 17 characters, upper case, leading zeros kept.
QString formatMacAddress(const std::array<uint8_t, 6>& bytes);

// The interfaces of this machine with a six-byte hardware address, in the
// order the system lists them (getifaddrs, AF_PACKET).
std::vector<HardwareInterface> systemHardwareInterfaces();

// The machine identifier: the hardware address of "en0". Most Linux machines
// have no "en0"; then the failure is logged ("Error: if_nametoindex failure")
// and the first non-loopback interface with a hardware address stands in, else
// "00:00:00:00:00:00" (the announcement needs some identifier in every case).
// Logs "Mac Address: ..." when an address was read.
QString getMacAddress();

// The same choice over given facts, so that it can be checked on any machine:
// en0Index is what if_nametoindex("en0") answered (0: no such interface).
QString getMacAddress(unsigned en0Index, const std::vector<HardwareInterface>& interfaces);

} // namespace trevok
