#include "devlib/discover.h"

#include <cstdlib>
#include <cstring>

// Search callback of aDiscovery_FindModule: the reference is the record
// being filled, holding the wanted serial number until a match is copied
// over it.
static bool cbSNCallback(const linkSpec* where, bool* taken, void* reference) {
    linkSpec* wanted = static_cast<linkSpec*>(reference);
    if (where == nullptr || taken == nullptr || wanted == nullptr) {
        return true;
    }
    if (where->serialNumber != wanted->serialNumber) {
        return true;
    }
    *wanted = *where;
    *taken = true;
    return false;
}

// Search callback of aDiscovery_FindFirstModule: takes the first entry with
// a serial number.
static bool cbFirstCallback(const linkSpec* where, bool* taken, void* reference) {
    linkSpec* first = static_cast<linkSpec*>(reference);
    if (where == nullptr || taken == nullptr || first == nullptr || where->serialNumber == 0) {
        return true;
    }
    *first = *where;
    *taken = true;
    return false;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                    void* reference, unsigned int networkInterface) {
    if (callback == nullptr) {
        return 0;
    }
    switch (type) {
    case linkTypeUSB:
        return aDiscovery_EnumerateUSBModules(type, callback, reference);
    case linkTypeTCPIP:
        return aDiscovery_EnumerateTCPIPModules(callback, reference);
    case linkTypeAEther:
        return aDiscovery_Enumerate_aEtherModules(callback, reference, networkInterface);
    default:
        return 0;
    }
}

linkSpec* aDiscovery_FindModule(linkType type, unsigned int serialNumber,
                                unsigned int networkInterface) {
    linkSpec* wanted = aLinkSpec_Create(type);
    if (wanted == nullptr) {
        return nullptr;
    }
    wanted->serialNumber = serialNumber;
    if (aDiscovery_EnumerateModules(type, cbSNCallback, wanted, networkInterface) == 0) {
        aLinkSpec_Destroy(&wanted);
    }
    return wanted;
}

linkSpec* aDiscovery_FindFirstModule(linkType type, unsigned int networkInterface) {
    linkSpec* first = aLinkSpec_Create(type);
    if (first == nullptr) {
        return nullptr;
    }
    if (aDiscovery_EnumerateModules(type, cbFirstCallback, first, networkInterface) == 0) {
        aLinkSpec_Destroy(&first);
    }
    return first;
}

linkSpec* aLinkSpec_Create(linkType type) {
    linkSpec* where = static_cast<linkSpec*>(std::calloc(1, sizeof(linkSpec)));
    if (where != nullptr) {
        where->type = type;
    }
    return where;
}

linkSpec* aLinkSpec_Copy(linkSpec where) {
    linkSpec* copy = static_cast<linkSpec*>(std::malloc(sizeof(linkSpec)));
    if (copy != nullptr) {
        std::memcpy(copy, &where, sizeof(linkSpec));
    }
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** where) {
    if (where == nullptr || *where == nullptr) {
        return aErrParam;
    }
    std::free(*where);
    *where = nullptr;
    return aErrNone;
}
