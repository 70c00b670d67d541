// Placeholder for the USB transport. The link engine opens USB modules
// through aStream_CreateUSB; until the USB transport replaces this file, no
// USB stream can be opened and USB links fail to be created.
#include "devlib/aStream.h"

aErr aStream_CreateUSB(unsigned int serialNumber, aStream** stream) {
    if (stream != nullptr) {
        *stream = nullptr;
    }
    if (serialNumber == 0 || stream == nullptr) {
        return aErrParam;
    }
    return aErrUnimplemented;
}
