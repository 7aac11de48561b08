#include "pieces/file_stream.h"

#include <algorithm>
#include <memory>

#include "pieces/failure.h"

namespace morcelix {

std::int64_t TStream::Size() {
    const std::int64_t position = Position();
    const std::int64_t size = Seek(0, SeekOrigin::End);
    SetPosition(position);
    return size;
}

void TStream::ReadBuffer(void* buffer, std::int32_t count) {
    if (count != 0 && Read(buffer, count) != count) {
        throw EReadError();
    }
}

void TStream::WriteBuffer(const void* buffer, std::int32_t count) {
    if (count != 0 && Write(buffer, count) != count) {
        throw EWriteError();
    }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count,
                               const BlockObserver& afterBlock) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    if (count > 0) {
        CopyBlocks(source, count, afterBlock);
    }
    return count;
}

void TStream::CopyBlocks(TStream& source, std::int64_t count, const BlockObserver& afterBlock) {
    CopyThroughBuffer(source, count, afterBlock);
}

void TStream::CopyThroughBuffer(TStream& source, std::int64_t count,
                                const BlockObserver& afterBlock) {
    const auto bufferSize =
        static_cast<std::int32_t>(std::min<std::int64_t>(count, kCopyBufferSize));
    const auto buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
    while (count != 0) {
        const auto block = static_cast<std::int32_t>(std::min<std::int64_t>(count, bufferSize));
        source.ReadBuffer(buffer.get(), block);
        WriteBuffer(buffer.get(), block);
        count -= block;
        if (afterBlock) {
            afterBlock();
        }
    }
}

}  // namespace morcelix
