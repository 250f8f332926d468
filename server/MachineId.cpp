#include "server/MachineId.h"

#include <QtGlobal>

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>

#include <algorithm>

namespace trevok {

namespace {

const char kPrimaryInterface[] = "en0";

void logError(const char* message) {
    qWarning("Error: %s", message);
}

bool isAllZero(const std::array<uint8_t, 6>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

} // namespace

QString formatMacAddress(const std::array<uint8_t, 6>& b) {
    return QString::asprintf("%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
}

std::vector<HardwareInterface> systemHardwareInterfaces() {
    std::vector<HardwareInterface> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET)
            continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
        if (link->sll_halen != 6)
            continue;
        HardwareInterface iface;
        iface.name = QString::fromLocal8Bit(entry->ifa_name);
        std::copy_n(link->sll_addr, 6, iface.address.begin());
        iface.loopback = (entry->ifa_flags & IFF_LOOPBACK) || link->sll_hatype == ARPHRD_LOOPBACK;
        result.push_back(iface);
    }
    freeifaddrs(list);
    return result;
}

QString getMacAddress() {
    return getMacAddress(if_nametoindex(kPrimaryInterface), systemHardwareInterfaces());
}

QString getMacAddress(unsigned en0Index, const std::vector<HardwareInterface>& interfaces) {
    const HardwareInterface* chosen = nullptr;
    if (en0Index == 0) {
        logError("if_nametoindex failure");
    } else {
        const auto it = std::find_if(interfaces.begin(), interfaces.end(), [](const auto& i) {
            return i.name == QLatin1String(kPrimaryInterface);
        });
        if (it != interfaces.end())
            chosen = &*it;
        else
            logError("no hardware address for en0");
    }
    if (!chosen) {
        // An address of all zeros (some virtual links) identifies nothing.
        const auto it = std::find_if(interfaces.begin(), interfaces.end(), [](const auto& i) {
            return !i.loopback && !isAllZero(i.address);
        });
        if (it != interfaces.end())
            chosen = &*it;
    }
    if (!chosen)
        return formatMacAddress({});
    const QString text = formatMacAddress(chosen->address);
    qInfo("Mac Address: %s", qUtf8Printable(text));
    return text;
}

} // namespace trevok
