// The stream core: the record of transport operations, the push-back ring,
// reading and writing with record framing, and file-backed streams.
#include "devlib/aStream.h"

#include <cstdlib>
#include <cstring>

#include <time.h>

#include "devlib/unix_file.h"

namespace {

// Reads of up to this many bytes use a scratch buffer on the stack; the link
// engine's one-byte reads never touch the heap.
constexpr size_t kStackScratchBytes = 64;

// How long aStream_Wait sleeps for a stream without a wait operation. Such a
// stream's get is expected to block by itself (USB), so this only keeps a
// caller's retry loop from spinning.
constexpr long kNoWaitSleepNS = 1000L * 1000L; // 1 ms

// A scratch buffer that lives on the stack for small sizes.
class Scratch {
public:
    explicit Scratch(size_t size)
        : data_(size <= kStackScratchBytes ? small_ : static_cast<uint8_t*>(malloc(size))) {}
    ~Scratch() {
        if (data_ != small_) {
            free(data_);
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    uint8_t* get() const { return data_; }

private:
    uint8_t small_[kStackScratchBytes];
    uint8_t* data_;
};

// Takes the oldest pushed-back byte. The caller checks count first.
uint8_t sTakePushedBack(aStream* stream) {
    uint8_t byte = stream->pushback[stream->readPos];
    stream->readPos = (stream->readPos + 1) % stream->capacity;
    stream->count--;
    return byte;
}

// One byte: pushed back first, else the transport.
aErr sGetByte(aStream* stream, uint8_t* byte) {
    if (stream->count > 0) {
        *byte = sTakePushedBack(stream);
        return aErrNone;
    }
    return stream->get(byte, stream->reference);
}

// Pushes `count` bytes back in order. The bytes already in the ring come out
// first, which is what the readers need: they push back only bytes they took
// after the ring had been emptied.
aErr sPushBackAll(aStream* stream, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; i++) {
        aErr err = aStreamBufferChar(stream, bytes[i]);
        if (err != aErrNone) {
            return err;
        }
    }
    return aErrNone;
}

} // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc remove, void* reference) {
    aStream* stream = static_cast<aStream*>(calloc(1, sizeof(aStream)));
    if (stream == nullptr) {
        return nullptr;
    }
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->remove = remove;
    stream->reference = reference;
    stream->check = aSTREAMCHECK;
    return stream;
}

aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait) {
    if (!aVALIDSTREAM(stream)) {
        return aErrParam;
    }
    stream->wait = wait;
    return aErrNone;
}

aErr aStream_SetWakeProc(aStream* stream, aStreamWakeProc wake) {
    if (!aVALIDSTREAM(stream)) {
        return aErrParam;
    }
    stream->wake = wake;
    return aErrNone;
}

aErr aStream_Wake(aStream* stream) {
    if (!aVALIDSTREAM(stream)) {
        return aErrParam;
    }
    return stream->wake != nullptr ? stream->wake(stream->reference) : aErrNone;
}

aErr aStream_Wait(aStream* stream, unsigned long milliseconds) {
    if (!aVALIDSTREAM(stream)) {
        return aErrParam;
    }
    if (stream->count > 0) {
        return aErrNone;
    }
    if (stream->wait != nullptr) {
        return stream->wait(milliseconds, stream->reference);
    }
    if (milliseconds > 0) {
        struct timespec pause = {0, kNoWaitSleepNS};
        nanosleep(&pause, nullptr);
    }
    return aErrTimeout;
}

aErr aStream_Read(aStream* stream, void* buffer, size_t size) {
    if (!aVALIDSTREAM(stream) || buffer == nullptr) {
        return aErrParam;
    }
    if (stream->get == nullptr) {
        return aErrMode;
    }
    if (size == 0) {
        return aErrNone;
    }
    Scratch scratch(size);
    if (scratch.get() == nullptr) {
        return aErrResource;
    }
    size_t got = 0;
    aErr err = aErrNone;
    while (got < size) {
        err = sGetByte(stream, &scratch.get()[got]);
        if (err != aErrNone) {
            break;
        }
        got++;
    }
    if (err == aErrNotReady) {
        // Hand the bytes back so that the next read starts with them. When
        // the ring cannot grow the bytes are lost, which the caller learns.
        aErr pushed = sPushBackAll(stream, scratch.get(), got);
        return pushed == aErrNone ? aErrNotReady : pushed;
    }
    if (err == aErrNone || err == aErrEOF) {
        memcpy(buffer, scratch.get(), got);
    }
    return err;
}

aErr aStream_Write(aStream* stream, const void* data, size_t length) {
    if (!aVALIDSTREAM(stream) || data == nullptr) {
        return aErrParam;
    }
    if (stream->put == nullptr && stream->write == nullptr) {
        return aErrMode;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (stream->write != nullptr && (length > 1 || stream->put == nullptr)) {
        return length == 0 ? aErrNone : stream->write(bytes, length, stream->reference);
    }
    for (size_t i = 0; i < length; i++) {
        aErr err = stream->put(&bytes[i], stream->reference);
        if (err != aErrNone) {
            return err;
        }
    }
    return aErrNone;
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
    if (!aVALIDSTREAM(stream)) {
        return aErrParam;
    }
    if (stream->pushback == nullptr) {
        stream->pushback = static_cast<uint8_t*>(malloc(aSTREAMBUFCHUNK));
        if (stream->pushback == nullptr) {
            return aErrMemory;
        }
        stream->capacity = aSTREAMBUFCHUNK;
        stream->count = 0;
        stream->readPos = 0;
        stream->writePos = 0;
    }
    if (stream->count >= stream->capacity - 1) {
        // Grow by one chunk and unwrap the waiting bytes to the start.
        size_t grown = stream->capacity + aSTREAMBUFCHUNK;
        uint8_t* larger = static_cast<uint8_t*>(malloc(grown));
        if (larger == nullptr) {
            return aErrMemory;
        }
        size_t first = stream->capacity - stream->readPos;
        if (first > stream->count) {
            first = stream->count;
        }
        memcpy(larger, stream->pushback + stream->readPos, first);
        memcpy(larger + first, stream->pushback, stream->count - first);
        free(stream->pushback);
        stream->pushback = larger;
        stream->capacity = grown;
        stream->readPos = 0;
        stream->writePos = stream->count;
    }
    stream->pushback[stream->writePos] = byte;
    stream->writePos = (stream->writePos + 1) % stream->capacity;
    stream->count++;
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t capacity,
                        const uint8_t* terminator, size_t terminatorLength) {
    if (!aVALIDSTREAM(stream) || buffer == nullptr || terminator == nullptr ||
        terminatorLength == 0) {
        return aErrParam;
    }
    if (stream->get == nullptr) {
        return aErrMode;
    }
    Scratch scratch(capacity > 0 ? capacity : 1);
    if (scratch.get() == nullptr) {
        return aErrResource;
    }
    // Bytes taken so far, the terminator bytes included, so that an
    // aErrNotReady can hand every one of them back.
    Scratch taken(capacity + terminatorLength);
    if (taken.get() == nullptr) {
        return aErrResource;
    }
    size_t stored = 0;
    size_t takenCount = 0;
    size_t matched = 0;
    aErr err = aErrNone;
    while (stored < capacity) {
        uint8_t byte = 0;
        err = sGetByte(stream, &byte);
        if (err != aErrNone) {
            break;
        }
        if (takenCount < capacity + terminatorLength) {
            taken.get()[takenCount++] = byte;
        }
        if (byte == terminator[matched]) {
            matched++;
            if (matched == terminatorLength) {
                break;
            }
            continue;
        }
        // A partial terminator match that fails is data after all: store the
        // matched bytes, then look at this byte afresh.
        for (size_t i = 0; i < matched && stored < capacity; i++) {
            scratch.get()[stored++] = terminator[i];
        }
        matched = 0;
        if (byte == terminator[0] && terminatorLength > 1) {
            matched = 1;
            continue;
        }
        if (stored < capacity) {
            scratch.get()[stored++] = byte;
        }
    }
    if (err == aErrNotReady) {
        aErr pushed = sPushBackAll(stream, taken.get(), takenCount);
        return pushed == aErrNone ? aErrNotReady : pushed;
    }
    if (err == aErrEOF && stored > 0) {
        err = aErrNone;
    }
    if (err == aErrNone || err == aErrEOF) {
        memcpy(buffer, scratch.get(), stored);
        if (length != nullptr) {
            *length = stored;
        }
    }
    return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength) {
    if (!aVALIDSTREAM(stream) || (data == nullptr && length > 0) ||
        (terminator == nullptr && terminatorLength > 0)) {
        return aErrParam;
    }
    aErr err = length > 0 ? aStream_Write(stream, data, length) : aErrNone;
    if (err == aErrNone && terminatorLength > 0) {
        err = aStream_Write(stream, terminator, terminatorLength);
    }
    return err;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t capacity) {
    if (capacity == 0) {
        return aErrParam;
    }
    static const uint8_t kZero = 0;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, capacity - 1,
                                  &kZero, 1);
    if (err == aErrNone || err == aErrEOF) {
        buffer[length] = '\0';
    }
    return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
    if (text == nullptr) {
        return aErrParam;
    }
    return aStream_Write(stream, text, strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t capacity,
                               const char* terminator) {
    if (capacity == 0 || terminator == nullptr) {
        return aErrParam;
    }
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, capacity - 1,
                                  reinterpret_cast<const uint8_t*>(terminator), strlen(terminator));
    if (err == aErrNone || err == aErrEOF) {
        buffer[length] = '\0';
    }
    return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator) {
    if (text == nullptr || terminator == nullptr) {
        return aErrParam;
    }
    aErr err = strlen(text) > 0 ? aStream_Write(stream, text, strlen(text)) : aErrNone;
    if (err == aErrNone) {
        err = aStream_Write(stream, terminator, strlen(terminator) + 1);
    }
    return err;
}

aErr aStream_Flush(aStream* source, aStream* destination) {
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) {
        return aErrParam;
    }
    if (source->get == nullptr || destination->put == nullptr) {
        return aErrMode;
    }
    for (;;) {
        uint8_t byte = 0;
        aErr err = sGetByte(source, &byte);
        if (err == aErrEOF) {
            return aErrNone;
        }
        if (err != aErrNone) {
            return err;
        }
        err = destination->put(&byte, destination->reference);
        if (err != aErrNone) {
            return err;
        }
    }
}

aErr aStream_Destroy(aStream** stream) {
    if (stream == nullptr) {
        return aErrParam;
    }
    aStream* s = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(s)) {
        return aErrParam;
    }
    aErr err = aErrNone;
    if (s->remove != nullptr) {
        err = s->remove(s->reference);
    }
    free(s->pushback);
    s->check = 0;
    free(s);
    return err;
}

// ---------------------------------------------------------------------------
// File streams.

namespace {

aErr sFileGet(uint8_t* byte, void* reference) {
    aFileHandle* file = static_cast<aFileHandle*>(reference);
    if (!aVALIDFILE(file)) {
        return aErrIO;
    }
    size_t got = 0;
    aErr err = aFile_Read(file, byte, 1, &got);
    if (err == aErrEOF) {
        return aErrEOF;
    }
    return err == aErrNone && got == 1 ? aErrNone : aErrIO;
}

aErr sFileWrite(const uint8_t* data, size_t length, void* reference) {
    aFileHandle* file = static_cast<aFileHandle*>(reference);
    if (!aVALIDFILE(file)) {
        return aErrIO;
    }
    size_t written = 0;
    aErr err = aFile_Write(file, data, length, &written);
    return err == aErrNone && written == length ? aErrNone : aErrIO;
}

aErr sFilePut(const uint8_t* byte, void* reference) {
    return sFileWrite(byte, 1, reference);
}

aErr sFileDelete(void* reference) {
    aFileHandle* file = static_cast<aFileHandle*>(reference);
    if (!aVALIDFILE(file)) {
        return aErrIO;
    }
    return aFile_Close(&file) == aErrNone ? aErrNone : aErrIO;
}

aErr sCreateFileStream(const char* path, aFileMode mode, bool input, aStream** stream) {
    if (stream == nullptr) {
        return aErrResource;
    }
    *stream = nullptr;
    if (path == nullptr) {
        return aErrResource;
    }
    aFileHandle* file = aFile_Open(path, mode);
    if (file == nullptr) {
        return aErrResource;
    }
    aStream* s = input ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                       : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (s == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}

} // namespace

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
    return sCreateFileStream(path, aFileModeRead, true, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
    return sCreateFileStream(path, aFileModeWrite, false, stream);
}
