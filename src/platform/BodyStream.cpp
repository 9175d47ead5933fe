#include "platform/BodyStream.h"

#include "platform/DecimalText.h"
#include "platform/SocketStream.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

// No real chunk-size or trailer line comes near this; a longer one is refused
// rather than held.
constexpr int kFramingLineCapacity = 4096;
// Trailers are read and dropped; a peer that keeps sending them is refused.
constexpr int kMaximumTrailerLines = 64;
// More hexadecimal digits than this would overflow the size.
constexpr int kMaximumSizeDigits = 15;
// How much of a body copyInBlocks() takes from the socket at once, in whole
// blocks: a 64 MiB upload over loopback took a fifth less time reading 256 KiB
// at a time than one 64 KiB block at a time.
constexpr size_t kReadAtOnce = 256 * 1024;

} // namespace

BodyStream::BodyStream(SocketStream& stream, bool chunked, uint64_t length)
    : stream_(&stream), chunked_(chunked), length_(length), remaining_(length),
      state_(chunked ? State::ChunkSize : (length == 0 ? State::Done : State::Data))
{
}

BodyStream BodyStream::withLength(SocketStream& stream, uint64_t length) { return BodyStream(stream, false, length); }

BodyStream BodyStream::chunked(SocketStream& stream) { return BodyStream(stream, true, 0); }

void BodyStream::setLimit(uint64_t limit)
{
    limit_ = limit;
    if (!chunked_ && length_ > limit) {
        tooLarge_ = true;
        state_ = State::Failed;
    }
}

void BodyStream::firstRead()
{
    if (beforeFirstRead_) {
        auto hook = std::move(beforeFirstRead_);
        beforeFirstRead_ = nullptr;
        hook();
    }
}

bool BodyStream::readFramingLine(char* line, int capacity)
{
    size_t length = stream_->getLine(line, capacity);
    if (length == 0 || line[length - 1] != '\n' || std::strlen(line) != length)
        return false; // cut at the capacity, ended inside the line, or holding a NUL
    line[--length] = '\0';
    if (length > 0 && line[length - 1] == '\r')
        line[--length] = '\0';
    return true;
}

bool BodyStream::readChunkSize()
{
    char line[kFramingLineCapacity];
    if (!readFramingLine(line, sizeof line))
        return false;
    uint64_t size = 0;
    int digits = 0;
    const char* p = line;
    for (int d; (d = HexDigitValue(*p)) >= 0; ++p) {
        if (++digits > kMaximumSizeDigits)
            return false;
        size = size * 16 + static_cast<uint64_t>(d);
    }
    // Extensions after the size (";name=value") are allowed and ignored; nothing
    // else may follow it.
    while (*p == ' ' || *p == '\t')
        ++p;
    if (digits == 0 || (*p != '\0' && *p != ';'))
        return false;
    length_ = remaining_ = size;
    state_ = size == 0 ? State::Trailers : State::Data;
    return true;
}

bool BodyStream::readLineEnd()
{
    char line[kFramingLineCapacity];
    return readFramingLine(line, sizeof line) && line[0] == '\0';
}

bool BodyStream::skipTrailers()
{
    char line[kFramingLineCapacity];
    for (int i = 0; i < kMaximumTrailerLines; ++i) {
        if (!readFramingLine(line, sizeof line))
            return false;
        if (line[0] == '\0')
            return true;
    }
    return false;
}

size_t BodyStream::read(void* buffer, size_t count)
{
    auto* dst = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    while (got < count && state_ != State::Done && state_ != State::Failed) {
        firstRead();
        switch (state_) {
        case State::ChunkSize:
            if (!readChunkSize())
                state_ = State::Failed;
            continue;
        case State::ChunkEnd:
            state_ = readLineEnd() ? State::ChunkSize : State::Failed;
            continue;
        case State::Trailers:
            state_ = skipTrailers() ? State::Done : State::Failed;
            continue;
        default:
            break;
        }
        if (remaining_ == 0) {
            state_ = chunked_ ? State::ChunkEnd : State::Done;
            continue;
        }
        uint64_t want = std::min<uint64_t>(count - got, remaining_);
        // A chunk that would carry the body past the limit is refused before it is read.
        if (limit_ && delivered_ + remaining_ > *limit_) {
            tooLarge_ = true;
            state_ = State::Failed;
            break;
        }
        size_t n = stream_->read(dst + got, static_cast<size_t>(want));
        got += n;
        remaining_ -= n;
        delivered_ += n;
        if (n < want)
            state_ = State::Failed;
        else if (!chunked_ && remaining_ == 0)
            state_ = State::Done; // known at once, so that complete() holds after the last byte
    }
    return got;
}

bool BodyStream::readNext(ByteBuffer& buffer, size_t count)
{
    size_t had = buffer.size();
    buffer.resize(had + count);
    size_t got = read(buffer.data() + had, count);
    buffer.resize(had + got);
    return got == count || complete();
}

bool BodyStream::copyInBlocks(size_t blockSize, const std::function<bool(const uint8_t* bytes, size_t size)>& write)
{
    if (blockSize == 0)
        return false;
    size_t readSize = std::max<size_t>(1, kReadAtOnce / blockSize) * blockSize;
    // A body of known length takes no bigger buffer than it needs: a 1 KiB upload
    // mapped and unmapped a quarter MiB.
    if (!chunked_)
        readSize = static_cast<size_t>(std::clamp<uint64_t>(remaining_, 1, readSize));
    ByteBuffer blocks;
    blocks.reserve(readSize);
    while (!complete()) {
        blocks.clear();
        bool whole = readNext(blocks, readSize);
        // The whole blocks that came before a body ended early are still written.
        size_t usable = whole ? blocks.size() : blocks.size() / blockSize * blockSize;
        for (size_t at = 0; at < usable; at += blockSize)
            if (!write(blocks.data() + at, std::min(blockSize, usable - at)))
                return false;
        if (!whole)
            return false;
    }
    return true;
}

} // namespace platform
