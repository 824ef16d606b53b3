#include "messages/byte_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/exception.h"

namespace kestrel {
namespace {

constexpr std::int64_t kMaxSize = std::numeric_limits<std::int32_t>::max();

}  // namespace

std::int32_t TStream::Size() {
  const std::int32_t position = Position();
  const std::int32_t size = Seek(0, SeekOrigin::End);
  Seek(position, SeekOrigin::Beginning);
  return size;
}

TRawByteStringStream::TRawByteStringStream(std::string initial) : data_(std::move(initial)) {
  if (static_cast<std::int64_t>(data_.size()) > kMaxSize)
    throw ERangeError();
}

std::int32_t TRawByteStringStream::Readable(std::int32_t count) const {
  if (count < 0)
    throw ERangeError();
  CheckIndex(position_, CurrentSize());
  return std::min(count, CurrentSize() - position_);
}

std::int32_t TRawByteStringStream::Read(void* buffer, std::int32_t count) {
  const std::int32_t n = Readable(count);
  if (n > 0)
    std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int32_t TRawByteStringStream::Write(const void* buffer, std::int32_t count) {
  if (count < 0 || position_ + static_cast<std::int64_t>(count) > kMaxSize)
    throw ERangeError();
  if (count == 0)
    return 0;
  const std::size_t end = static_cast<std::size_t>(position_) + static_cast<std::size_t>(count);
  if (end > data_.size())
    data_.resize(end);
  std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(count));
  position_ += count;
  return count;
}

std::int32_t TRawByteStringStream::Seek(std::int32_t offset, SeekOrigin origin) {
  std::int64_t target = position_;
  switch (origin) {
    case SeekOrigin::Beginning:
      target = offset;
      break;
    case SeekOrigin::Current:
      target = static_cast<std::int64_t>(position_) + offset;
      break;
    case SeekOrigin::End:
      target = static_cast<std::int64_t>(CurrentSize()) - offset;
      break;
  }
  position_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(target, 0, CurrentSize()));
  return position_;
}

void TRawByteStringStream::SetSize(std::int32_t new_size) {
  if (new_size < 0)
    throw ERangeError();
  data_.resize(static_cast<std::size_t>(new_size));
  position_ = std::min(position_, new_size);
}

std::string TRawByteStringStream::ReadString(std::int32_t count) {
  const std::int32_t n = Readable(count);
  std::string bytes =
      data_.substr(static_cast<std::size_t>(position_), static_cast<std::size_t>(n));
  position_ += n;
  return bytes;
}

void TRawByteStringStream::WriteString(const std::string& bytes) {
  if (static_cast<std::int64_t>(bytes.size()) > kMaxSize)
    throw ERangeError();
  Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

}  // namespace kestrel
