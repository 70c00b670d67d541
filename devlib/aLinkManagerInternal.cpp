// The process-wide registry of links: a list of entries, newest first, with
// the next id, all guarded by the mutex "aLink_Managed".
#include "devlib/aLinkManagerInternal.h"

#include <new>

namespace {

struct Registry {
    aMutex* mutex = nullptr;
    aLinkEntry* head = nullptr;
    unsigned int nextId = 1;
};

// Made on first use and kept for the life of the process, so that links
// destroyed during exit still find it.
Registry& sRegistry() {
    static Registry* registry = [] {
        Registry* r = new Registry();
        r->mutex = aMutex_Create("aLink_Managed");
        return r;
    }();
    return *registry;
}

class RegistryLock {
public:
    RegistryLock() : registry_(sRegistry()) { aMutex_Lock(registry_.mutex); }
    ~RegistryLock() { aMutex_Unlock(registry_.mutex); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
    Registry& registry() { return registry_; }

private:
    Registry& registry_;
};

} // namespace

unsigned int sCreate(unsigned int identifier, unsigned int port, unsigned int linkType) {
    return sCreate2(identifier, port, 0, linkType);
}

unsigned int sCreate2(unsigned int identifier, unsigned int port, unsigned int clientNumber,
                      unsigned int linkType) {
    aLinkEntry* entry = new (std::nothrow) aLinkEntry();
    aLinkRecord* link = new (std::nothrow) aLinkRecord();
    if (entry == nullptr || link == nullptr) {
        delete entry;
        delete link;
        return 0;
    }
    link->status = kLinkStatusInvalid;
    entry->identifier = identifier;
    entry->port = port;
    entry->clientNumber = clientNumber;
    entry->linkType = linkType;
    entry->link = link;
    RegistryLock lock;
    Registry& r = lock.registry();
    entry->id = r.nextId++;
    if (r.nextId == 0) {
        r.nextId = 1; // id 0 means "no link"
    }
    entry->next = r.head;
    r.head = entry;
    return entry->id;
}

aLinkEntry* sLookupEntryByID(unsigned int id) {
    if (id == 0) {
        return nullptr;
    }
    RegistryLock lock;
    for (aLinkEntry* e = lock.registry().head; e != nullptr; e = e->next) {
        if (e->id == id) {
            return e;
        }
    }
    return nullptr;
}

aLinkEntry* sLookupEntryByIdentifier(unsigned int identifier) {
    RegistryLock lock;
    for (aLinkEntry* e = lock.registry().head; e != nullptr; e = e->next) {
        // Links over caller-made streams have no identifier to share them by.
        if (e->identifier == identifier && e->linkType != 0) {
            return e;
        }
    }
    return nullptr;
}

aLinkEntry* sLookupEntryByTrident(unsigned int identifier, unsigned int port,
                                  unsigned int clientNumber) {
    RegistryLock lock;
    for (aLinkEntry* e = lock.registry().head; e != nullptr; e = e->next) {
        if (e->identifier == identifier && e->port == port && e->clientNumber == clientNumber) {
            return e;
        }
    }
    return nullptr;
}

aLinkEntry* sExtractEntry(unsigned int id) {
    RegistryLock lock;
    aLinkEntry** place = &lock.registry().head;
    while (*place != nullptr) {
        if ((*place)->id == id) {
            aLinkEntry* entry = *place;
            *place = entry->next;
            entry->next = nullptr;
            return entry;
        }
        place = &(*place)->next;
    }
    return nullptr;
}

void sFreeEntry(aLinkEntry** entry) {
    if (entry != nullptr) {
        delete *entry;
        *entry = nullptr;
    }
}

int sChangeUseCount(aLinkEntry* entry, int delta) {
    if (entry == nullptr) {
        return 0;
    }
    RegistryLock lock;
    entry->useCount = static_cast<int16_t>(entry->useCount + delta);
    return entry->useCount;
}

aLinkRecord* sGetLink(unsigned int id) {
    if (id == 0) {
        return nullptr;
    }
    RegistryLock lock;
    for (aLinkEntry* e = lock.registry().head; e != nullptr; e = e->next) {
        if (e->id == id) {
            return e->link;
        }
    }
    return nullptr;
}

size_t sRegistrySize() {
    RegistryLock lock;
    size_t n = 0;
    for (aLinkEntry* e = lock.registry().head; e != nullptr; e = e->next) {
        n++;
    }
    return n;
}
