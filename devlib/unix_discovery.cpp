#include "devlib/unix_discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "devlib/discover.h"

// Offsets of the fields of a discovery reply.
enum : size_t {
    kReplyModuleAddress = 1,
    kReplyPort = 2,
    kReplySerialNumber = 4,
    kReplyModel = 12,
};

static uint32_t sLittleEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

static void sCopyToTCPIPLinkspec(const uint8_t* reply, uint32_t sourceAddress, linkSpec* where) {
    std::memset(where, 0, sizeof(linkSpec));
    where->type = linkTypeTCPIP;
    where->serialNumber = sLittleEndian32(reply + kReplySerialNumber);
    where->moduleAddress = reply[kReplyModuleAddress];
    where->routerAddress = where->moduleAddress;
    where->routerSerialNumber = where->serialNumber;
    where->model = reply[kReplyModel];
    where->address = sourceAddress;
    where->port = static_cast<uint32_t>(reply[kReplyPort]) |
                  (static_cast<uint32_t>(reply[kReplyPort + 1]) << 8);
}

bool aDiscovery_DecodeTCPIPReply(const uint8_t* reply, size_t length, uint32_t sourceAddress,
                                 linkSpec* where) {
    // A short reply would leave fields of the previous reply (or nothing
    // defined) in place of its own, so it is not taken.
    if (reply == nullptr || where == nullptr || length < kDiscoveryTCPIPDatagramBytes) {
        return false;
    }
    sCopyToTCPIPLinkspec(reply, sourceAddress, where);
    return true;
}

// The IPv4 address of a socket address in host order; 0 for another family.
static uint32_t SockAddrToUint32(const sockaddr* address) {
    if (address == nullptr || address->sa_family != AF_INET) {
        return 0;
    }
    sockaddr_in in;
    std::memcpy(&in, address, sizeof(in));
    return ntohl(in.sin_addr.s_addr);
}

static void sTCPIPCleanup(int socketFd) {
    if (socketFd >= 0) {
        close(socketFd);
    }
}

// The socket that receives the replies. False (and *socketFd -1) when it
// cannot be set up.
static bool sTCPIPSetupListener(int* socketFd, sockaddr_in* address) {
    *socketFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (*socketFd < 0) {
        return false;
    }
    int on = 1;
    timeval timeout{kDiscoveryTCPIPReceiveTimeoutMs / 1000,
                    (kDiscoveryTCPIPReceiveTimeoutMs % 1000) * 1000};
    std::memset(address, 0, sizeof(*address));
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_ANY);
    address->sin_port = htons(kDiscoveryTCPIPReplyPort);
    if (setsockopt(*socketFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(*socketFd, reinterpret_cast<sockaddr*>(address), sizeof(*address)) != 0 ||
        setsockopt(*socketFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
        sTCPIPCleanup(*socketFd);
        *socketFd = -1;
        return false;
    }
    return true;
}

// Sends one query out of the interface with this address (host order; 0:
// the default interface). True when the datagram went out.
static bool sTCPIPMultiCast(unsigned int interfaceAddress) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    int on = 1;
    in_addr out{};
    out.s_addr = htonl(interfaceAddress);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryTCPIPQueryPort);
    inet_pton(AF_INET, kDiscoveryTCPIPGroup, &group.sin_addr);
    uint8_t query[kDiscoveryTCPIPDatagramBytes] = {kDiscoveryTCPIPQueryMarker};
    bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
                setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof(out)) == 0 &&
                sendto(fd, query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&group),
                       sizeof(group)) == static_cast<ssize_t>(sizeof(query));
    sTCPIPCleanup(fd);
    return sent;
}

// Sends the query out of every IPv4 interface but loopback and the
// unconfigured address. True when at least one went out.
static bool sTCPIPSendQueries() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return sTCPIPMultiCast(INADDR_ANY);
    }
    bool sent = false;
    for (ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        uint32_t address = SockAddrToUint32(entry->ifa_addr);
        if (address == 0 || address == INADDR_LOOPBACK) {
            continue;
        }
        if (sTCPIPMultiCast(address)) {
            sent = true;
        }
    }
    freeifaddrs(interfaces);
    return sent;
}

uint8_t aDiscovery_EnumerateTCPIPModules(aDiscoveryModuleFoundProc callback, void* reference) {
    if (callback == nullptr) {
        return 0;
    }
    int listener = -1;
    sockaddr_in listenAddress;
    bool listening = sTCPIPSetupListener(&listener, &listenAddress);
    bool sent = sTCPIPSendQueries();
    uint8_t count = 0;
    if (listening && sent) {
        uint8_t reply[kDiscoveryTCPIPDatagramBytes];
        for (int replies = 0; replies < kDiscoveryTCPIPMaxReplies; ++replies) {
            sockaddr_in source{};
            socklen_t sourceLength = sizeof(source);
            reply[kReplyModel] = 0xFF;
            ssize_t received = recvfrom(listener, reply, sizeof(reply), 0,
                                        reinterpret_cast<sockaddr*>(&source), &sourceLength);
            if (received < 0) {
                break; // normally the time-out after the last reply
            }
            linkSpec where;
            if (!aDiscovery_DecodeTCPIPReply(reply, static_cast<size_t>(received),
                                             source.sin_addr.s_addr, &where)) {
                continue;
            }
            bool taken = false;
            bool goOn = callback(&where, &taken, reference);
            if (taken) {
                ++count;
            }
            if (!goOn) {
                break;
            }
        }
    }
    sTCPIPCleanup(listener);
    return count;
}

// Link servers are not part of this build: the walk finds none.
uint8_t aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc, void*, unsigned int) {
    return 0;
}
